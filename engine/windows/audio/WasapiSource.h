// The default audio input through WASAPI, in shared mode.
#pragma once

#include <memory>

#include "engine/core/AudioSource.h"

namespace dvengine {

std::unique_ptr<IAudioSource> CreateWasapiSource();

}  // namespace dvengine
