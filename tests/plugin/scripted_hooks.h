/* Test hooks of the scripted plug-in library (deskvid_scripted): the same
 * exports as libdeskvid.so over the scripted engine, plus these, so that a
 * host written in C can watch the engine and the registry. */
#ifndef DESKVID_TESTS_SCRIPTED_HOOKS_H
#define DESKVID_TESTS_SCRIPTED_HOOKS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The journal since the last reset, one line per engine call, each ended by
 * "\n", as a NUL-terminated text cut to cb bytes. Returns the bytes the
 * whole text needs, NUL included. */
typedef size_t (*PFN_scriptedJournal)(char* pszBuf, size_t cb);
/* Makes the n-th call of operation pszOp answer hr. */
typedef void (*PFN_scriptedFailNth)(const char* pszOp, int n, int32_t hr);
/* Clears the journal, call counts and injected failures. */
typedef void (*PFN_scriptedReset)(void);
/* Engine objects alive now. */
typedef int (*PFN_scriptedLiveObjects)(void);
/* The registry: entries, whether its bucket table exists, node blocks. */
typedef int (*PFN_scriptedRegistryCount)(void);
typedef int (*PFN_scriptedRegistryHasTable)(void);
typedef int (*PFN_scriptedRegistryBlocks)(void);
/* Failed precondition checks reported so far. */
typedef int (*PFN_scriptedFailedChecks)(void);
/* Makes the library's n-th allocation from now fail; 0 cancels. */
typedef void (*PFN_scriptedFailNthAllocation)(int n);

#ifdef __cplusplus
}
#endif

#endif /* DESKVID_TESTS_SCRIPTED_HOOKS_H */
