// The Windows automation engine: the platform's encoder automation objects, reached
// late-bound through IDispatch by member name and wrapped in the engine
// interface that the capture code calls.
#pragma once

#include "runtime/Runtime.h"

// Registers the encoder and profile factories in the runtime's class table.
// Each factory creates the system's object in-process and wraps it. Returns
// false when the class table is full.
bool AutomationEngineRegister();

// The engine's factory for a class it wraps (encoder, profile), null for any
// other: for a registration that chooses between engines.
PFNCREATEINSTANCE AutomationEngineFactory(REFCLSID clsid);
