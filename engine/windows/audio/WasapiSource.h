// The default audio input through WASAPI, in shared mode; or, looped back,
// what the default output plays.
#pragma once

#include <memory>

#include "engine/core/AudioSource.h"

namespace dvengine {

std::unique_ptr<IAudioSource> CreateWasapiSource(bool bLoopback);

}  // namespace dvengine
