// The default audio input through the PulseAudio API (PulseAudio itself, or
// PipeWire's pipewire-pulse).
#pragma once

#include <memory>

#include "engine/linux/audio/AudioSource.h"

namespace dvlinux {

std::unique_ptr<IAudioSource> CreatePulseSource();

}  // namespace dvlinux
