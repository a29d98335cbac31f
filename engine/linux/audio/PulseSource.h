// The default audio input, or the default output's monitor (what it plays),
// through the PulseAudio API (PulseAudio itself, or PipeWire's pipewire-pulse).
#pragma once

#include <memory>

#include "engine/core/AudioSource.h"

namespace dvengine {

// 48 kHz stereo from the server's default source, or with bMonitor from the
// default sink's monitor. pszServer names a server as PULSE_SERVER does;
// null means the default one. Start() and Stop() come
// from one thread; Read() may run on another, Stop() included.
std::unique_ptr<IAudioSource> CreatePulseSource(const char* pszServer = nullptr,
                                                bool bMonitor = false);

}  // namespace dvengine
