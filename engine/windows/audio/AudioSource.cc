#include "engine/core/AudioSource.h"

#include "engine/windows/audio/WasapiSource.h"

namespace dvengine {

// WASAPI in shared mode: the default capture endpoint, or loopback of the
// default render endpoint for what the computer plays.
std::unique_ptr<IAudioSource> CreateAudioSource(EAudioDevice device) {
    return CreateWasapiSource(device == EAudioDevice::kOutput);
}

}  // namespace dvengine
