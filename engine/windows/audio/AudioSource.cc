#include "engine/core/AudioSource.h"

#include <cstdlib>
#include <string>

#include "deskvid/deskvid_status.h"
#include "engine/core/SyntheticAudio.h"
#include "engine/windows/audio/WasapiSource.h"

namespace dvengine {
namespace {

// What the session gets when no source can be made: no audio input.
class CMissingAudio final : public IAudioSource {
public:
    HRESULT Start(int64_t) override { return DV_E_NO_AUDIO; }
    HRESULT Read(int64_t, CAudioBlock*) override { return DV_E_NO_AUDIO; }
    void Stop() override {}
};

}  // namespace

// DESKVID_AUDIO: "input" (the default input, the default), "output" (what
// the default output plays), "synthetic[:options]" for tests; anything else
// is no audio.
std::unique_ptr<IAudioSource> CreateAudioSource() {
    const char* pszChoice = std::getenv("DESKVID_AUDIO");
    const std::string strChoice = pszChoice != nullptr ? pszChoice : "";
    std::unique_ptr<IAudioSource> pSource;
    if (strChoice == "synthetic" || strChoice.compare(0, 10, "synthetic:") == 0) {
        CSyntheticAudioOptions options;
        if (ParseSyntheticAudioOptions(strChoice.size() > 10 ? strChoice.substr(10) : "",
                                       &options)) {
            pSource = CreateSyntheticAudio(options);
        }
    } else if (strChoice.empty() || strChoice == "input") {
        pSource = CreateWasapiSource(false);
    } else if (strChoice == "output") {
        pSource = CreateWasapiSource(true);
    }
    if (!pSource) {
        pSource = std::make_unique<CMissingAudio>();
    }
    return pSource;
}

}  // namespace dvengine
