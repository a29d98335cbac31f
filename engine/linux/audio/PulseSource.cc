#include "engine/linux/audio/PulseSource.h"

namespace dvlinux {

// Placeholder until the libpulse source lands.
std::unique_ptr<IAudioSource> CreatePulseSource() {
    return nullptr;
}

}  // namespace dvlinux
