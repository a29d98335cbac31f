#include "engine/core/AudioSource.h"

#include "deskvid/deskvid_status.h"
#include "engine/windows/audio/WasapiSource.h"

namespace dvengine {
namespace {

// What the session gets when the source cannot be made: no audio input.
class CMissingAudio final : public IAudioSource {
public:
    HRESULT Start(int64_t) override { return DV_E_NO_AUDIO; }
    HRESULT Read(int64_t, CAudioBlock*) override { return DV_E_NO_AUDIO; }
    void Stop() override {}
};

}  // namespace

// WASAPI in shared mode: the default capture endpoint, or loopback of the
// default render endpoint for what the computer plays.
std::unique_ptr<IAudioSource> CreateAudioSource(EAudioDevice device) {
    std::unique_ptr<IAudioSource> pSource = CreateWasapiSource(device == EAudioDevice::kOutput);
    if (!pSource) {
        pSource.reset(new (std::nothrow) CMissingAudio);
    }
    return pSource;
}

}  // namespace dvengine
