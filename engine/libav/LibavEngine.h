// The Linux recording engine: real screen and audio capture into a Windows
// Media file with FFmpeg's libraries, behind the encoder interface that the
// capture code drives.
#pragma once

#include <cstdint>
#include <string>

// Registers the engine's encoder and profile factories in the runtime's class
// table (CLSID_WMEncoder, CLSID_WMEncProfile2). Safe to call more than once.
bool LibavEngineRegister();

// Frame counts summed over every recording session of the process, for
// tests, benchmarks and the command-line recorder (hosts of the plug-in
// library do not see them). Take one before and one after a recording and
// subtract.
struct LIBAV_ENGINE_COUNTERS {
    int64_t nFramesCaptured;  // screen frames taken inside the recording time
    int64_t nFramesWritten;   // video frames encoded and handed to the file
    int64_t nFramesDropped;   // captured frames lost because encoding fell behind
    int64_t nAudioSamples;    // audio samples (per channel) encoded
    int64_t nSessions;        // sessions finished
};
LIBAV_ENGINE_COUNTERS LibavEngineCounters();

// The last error the engine met, as text (FFmpeg's own message when it was
// FFmpeg's); empty when there was none.
std::string LibavEngineLastError();
