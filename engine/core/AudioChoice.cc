// Which audio sources a recording mixes: the process's DESKVID_AUDIO choice.
#include <sstream>
#include <string>

#include "deskvid/deskvid_status.h"
#include "engine/core/AudioSource.h"
#include "engine/core/SyntheticAudio.h"

namespace dvengine {
namespace {

// What the session gets when the platform cannot make a source: no input.
class CMissingAudio final : public IAudioSource {
public:
    HRESULT Start(int64_t) override { return DV_E_NO_AUDIO; }
    HRESULT Read(int64_t, CAudioBlock*) override { return DV_E_NO_AUDIO; }
    void Stop() override {}
};

std::unique_ptr<IAudioSource> DeviceSource(EAudioDevice device) {
    std::unique_ptr<IAudioSource> pSource = CreateAudioSource(device);
    if (!pSource) {
        pSource = std::make_unique<CMissingAudio>();
    }
    return pSource;
}

}  // namespace

bool CreateAudioSources(const char* pszChoice,
                        std::vector<std::unique_ptr<IAudioSource>>* pvSources) {
    std::vector<std::unique_ptr<IAudioSource>> vSources;
    std::istringstream in(pszChoice != nullptr && *pszChoice != 0 ? pszChoice : "input");
    std::string strItem;
    while (std::getline(in, strItem, '+')) {
        if (strItem == "input" || strItem == "both") {
            vSources.push_back(DeviceSource(EAudioDevice::kInput));
        }
        if (strItem == "output" || strItem == "both") {
            vSources.push_back(DeviceSource(EAudioDevice::kOutput));
        } else if (strItem == "synthetic" || strItem.compare(0, 10, "synthetic:") == 0) {
            CSyntheticAudioOptions options;
            if (!ParseSyntheticAudioOptions(strItem.size() > 10 ? strItem.substr(10) : "",
                                            &options)) {
                return false;
            }
            vSources.push_back(CreateSyntheticAudio(options));
        } else if (strItem != "input" && strItem != "both") {
            return false;
        }
    }
    if (vSources.empty()) {
        return false;
    }
    *pvSources = std::move(vSources);
    return true;
}

}  // namespace dvengine
