// The registry of live capture instances, shared by the exports and by the
// tests that watch it.
#pragma once

#include "base/Plex.h"

// Every instance the host holds, keyed by its handle, with the interface
// name it was made under. Its own lock serialises creation and destruction.
extern CLockedPtrToStrMap g_mapInstance;

class CWMEncDeskVid;
// Instances live in the base library's heap, so that a shortage is a null
// handle (and tests can bring one about); FreeInstance runs the destructor
// (which stops a started instance) and gives the memory back.
CWMEncDeskVid* NewInstance();
void FreeInstance(CWMEncDeskVid* pInstance);
