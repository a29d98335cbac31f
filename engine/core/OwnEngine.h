// Our own recording engine (Linux always, Windows where the platform encoder
// is missing): real screen and audio capture into a Windows Media file with
// FFmpeg's libraries, behind the encoder interface that the capture code
// drives.
#pragma once

#include "runtime/Runtime.h"

// Registers the engine's encoder and profile factories in the runtime's class
// table (CLSID_WMEncoder, CLSID_WMEncProfile2). Safe to call more than once.
bool OwnEngineRegister();

// The engine's factory for a class it implements (encoder, profile), null
// for any other: for a platform whose registration chooses between engines.
// OwnEngineRegister() first, for the engine's one-time setup.
PFNCREATEINSTANCE OwnEngineFactory(REFCLSID clsid);
