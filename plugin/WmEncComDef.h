// The registry of live capture instances, shared by the exports and by the
// tests that watch it.
#pragma once

#include "base/Plex.h"

// Every instance the host holds, keyed by its handle, with the interface
// name it was made under. Its own lock serialises creation and destruction.
extern CLockedPtrToStrMap g_mapInstance;
