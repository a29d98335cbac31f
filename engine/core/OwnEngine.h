// The Linux recording engine: real screen and audio capture into a Windows
// Media file with FFmpeg's libraries, behind the encoder interface that the
// capture code drives.
#pragma once

// Registers the engine's encoder and profile factories in the runtime's class
// table (CLSID_WMEncoder, CLSID_WMEncProfile2). Safe to call more than once.
bool OwnEngineRegister();
