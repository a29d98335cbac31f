#include "engine/core/AudioSource.h"

#include "engine/linux/audio/PulseSource.h"

namespace dvengine {

std::unique_ptr<IAudioSource> CreateAudioSource(EAudioDevice device) {
    return CreatePulseSource(nullptr, device == EAudioDevice::kOutput);
}

}  // namespace dvengine
