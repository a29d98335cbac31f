// An audio input without a server, for tests: a tone delivered in blocks as
// the capture clock advances, as a server would, and faults on cue: a device
// clock off ours, a backlog handed over as if current, a gap, a freeze.
#pragma once

#include <memory>
#include <string>

#include "engine/core/AudioSource.h"

namespace dvengine {

struct CSyntheticAudioOptions {
    bool bFailStart = false;
    int nFreezeAfterMs = -1;  // from then on: reads wait to their deadline, then lost
    int nToneHz = 440;        // the tone, continuous
    // Instead of the tone: a 50 ms beep of this pitch at every whole second
    // of the capture clock, silence between.
    int nBeepHz = 0;
    double dRate = 1;  // the device's sample rate against ours (1.005: 0.5% fast)
    // The first read also hands over this much older sound (a 2500 Hz tone)
    // before what came since the start, all stamped from the moment it
    // arrived, as a server with a buffer full when we connect.
    int nBacklogMs = 0;
    int nBlockMs = 20;  // what it hands over at a time
    int nGapAtMs = -1;  // from then on for nGapMs nothing is delivered, ever
    int nGapMs = 0;
};

// "fail-start,freeze-after=MS,tone=HZ,beep=HZ,rate=R,backlog=MS,block=MS,gap=AT:MS".
// False on an option it does not know.
bool ParseSyntheticAudioOptions(const std::string& strOptions, CSyntheticAudioOptions* pOptions);

std::unique_ptr<IAudioSource> CreateSyntheticAudio(const CSyntheticAudioOptions& options);

// The synthetic backlog's pitch.
constexpr int kSyntheticBacklogHz = 2500;

}  // namespace dvengine
