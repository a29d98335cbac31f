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

// How the stand-in answers; StandinSetModes takes any combination.
// DIRECT: a failing member answers its status from Invoke itself instead of
// DISP_E_EXCEPTION with the status in the exception record.
// STRICT: the two members whose dispatch kind varies between objects (the
// group's Profile, the profile's VBRMode) accept only their other kind (a put
// by reference, a method call) and answer DISP_E_MEMBERNOTFOUND to the usual.
// EMPTY: a call that hands back an object and is told to answer S_FALSE
// answers S_OK with no object instead.
#define STANDIN_DIRECT 1
#define STANDIN_STRICT 2
#define STANDIN_EMPTY 4

// Clears the journal, the call counts, the injected failures and the modes.
STANDIN_API void __cdecl StandinReset();
STANDIN_API void __cdecl StandinSetModes(unsigned dwModes);
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
typedef void(__cdecl* PFN_StandinSetModes)(unsigned dwModes);
typedef const char*(__cdecl* PFN_StandinTakeJournal)();
typedef void(__cdecl* PFN_StandinFailNth)(const char* pszOp, int n, HRESULT hr);
typedef long(__cdecl* PFN_StandinLiveObjects)();
