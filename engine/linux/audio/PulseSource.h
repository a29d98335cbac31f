// The default audio input through the PulseAudio API (PulseAudio itself, or
// PipeWire's pipewire-pulse).
#pragma once

#include <memory>

#include "engine/core/AudioSource.h"

namespace dvengine {

// 48 kHz stereo from the server's default source. pszServer names a server
// as PULSE_SERVER does; null means the default one. Start() and Stop() come
// from one thread; Read() may run on another, Stop() included.
std::unique_ptr<IAudioSource> CreatePulseSource(const char* pszServer = nullptr);

}  // namespace dvengine
