// An audio input without a server, for tests: a 440 Hz tone delivered in
// blocks as the capture clock advances, as a server would, and faults on cue.
#pragma once

#include <memory>
#include <string>

#include "engine/core/AudioSource.h"

namespace dvengine {

struct CSyntheticAudioOptions {
    bool bFailStart = false;
    int nFreezeAfterMs = -1;  // from then on: reads wait to their deadline, then lost
};

// "fail-start,freeze-after=MS". False on an option it does not know.
bool ParseSyntheticAudioOptions(const std::string& strOptions, CSyntheticAudioOptions* pOptions);

std::unique_ptr<IAudioSource> CreateSyntheticAudio(const CSyntheticAudioOptions& options);

}  // namespace dvengine
