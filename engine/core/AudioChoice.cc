// Which audio sources a recording mixes: the process's DESKVID_AUDIO choice.
#include <sstream>
#include <string>

#include "engine/core/AudioSource.h"
#include "engine/core/SyntheticAudio.h"

namespace dvengine {

bool CreateAudioSources(const char* pszChoice,
                        std::vector<std::unique_ptr<IAudioSource>>* pvSources) {
    std::vector<std::unique_ptr<IAudioSource>> vSources;
    std::istringstream in(pszChoice != nullptr && *pszChoice != 0 ? pszChoice : "input");
    std::string strItem;
    while (std::getline(in, strItem, '+')) {
        if (strItem == "input" || strItem == "both") {
            vSources.push_back(CreateAudioSource(EAudioDevice::kInput));
        }
        if (strItem == "output" || strItem == "both") {
            vSources.push_back(CreateAudioSource(EAudioDevice::kOutput));
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
