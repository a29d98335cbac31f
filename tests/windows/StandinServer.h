// The stand-in encoder server's test exports. A test loads the server DLL by
// the path it is registered under (the same module that COM loads) and
// resolves these by name.
#pragma once

#include <windows.h>

#if defined(STANDIN_BUILDING)
#define STANDIN_API __declspec(dllexport)
#else
#define STANDIN_API
#endif

extern "C" {

// Clears the journal, the call counts and the injected failures, and reports
// failures through the exception record again.
STANDIN_API void __cdecl StandinReset();
// Nonzero: a failing member answers its status from Invoke itself instead of
// DISP_E_EXCEPTION with the status in the exception record.
STANDIN_API void __cdecl StandinSetDirectFailures(int bDirect);
// The calls journalled since the last take, one line each ending in '\n';
// valid until the next call into the server.
STANDIN_API const char* __cdecl StandinTakeJournal();
// Makes the n-th call (from 1, counted since the last reset) of operation
// pszOp answer hr: the call is journalled and has no other effect.
STANDIN_API void __cdecl StandinFailNth(const char* pszOp, int n, HRESULT hr);
// Engine objects alive now.
STANDIN_API long __cdecl StandinLiveObjects();
}

typedef void(__cdecl* PFN_StandinReset)();
typedef void(__cdecl* PFN_StandinSetDirectFailures)(int bDirect);
typedef const char*(__cdecl* PFN_StandinTakeJournal)();
typedef void(__cdecl* PFN_StandinFailNth)(const char* pszOp, int n, HRESULT hr);
typedef long(__cdecl* PFN_StandinLiveObjects)();
