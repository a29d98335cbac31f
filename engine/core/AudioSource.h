// What the session asks of the audio input: blocks of 48 kHz stereo samples,
// each stamped on the capture clock, with a deadline on every wait.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "port/port.h"

namespace dvengine {

struct CAudioBlock {
    std::vector<int16_t> vSamples;  // interleaved, kAudioChannels per frame
    int64_t nTimeUs = 0;            // capture time of the first sample
    // Stamped when it is heard (what an output plays, measured by the
    // server): it may lie after the block is read, by the output's latency.
    bool bPlayout = false;
};

class IAudioSource {
public:
    virtual ~IAudioSource() = default;

    // Connects to its device. S_OK, or DV_E_NO_AUDIO by nDeadlineUs
    // at the latest.
    virtual HRESULT Start(int64_t nDeadlineUs) = 0;

    // Samples captured since the last Read(), waiting for some until
    // nDeadlineUs: all of them, or the oldest of the device's fragments, each
    // with its own stamp (the next call hands over the next). A stamp is the
    // honest measure of when the block's first sample was captured (for what
    // an output plays: when it is heard), unsmoothed; within one burst of
    // fragments the stamps follow by sample count, and samples that went
    // missing show as a jump in them. S_OK with at least one sample; S_FALSE
    // when none came by the deadline (a server that stops answering is a gap,
    // not a loss); DV_E_NO_AUDIO while the device is gone (no server, the
    // stream failed, no device at all) and nothing captured before is left.
    // The source keeps trying to get it back until Stop(), and a later call
    // may succeed again.
    virtual HRESULT Read(int64_t nDeadlineUs, CAudioBlock* pBlock) = 0;

    // Disconnects; idempotent, never blocks past a short bound of its own.
    virtual void Stop() = 0;
};

enum class EAudioDevice {
    kInput,   // the default input: the microphone
    kOutput,  // what the default output plays
};

// The platform's source for one device; null when it cannot be made (the
// recording then has no such input: DV_E_NO_AUDIO at the start).
std::unique_ptr<IAudioSource> CreateAudioSource(EAudioDevice device);

// The sources a DESKVID_AUDIO choice names, to be mixed into the one sound
// track: "input" (also null or empty: the default), "output",
// "both" (the two), "synthetic[:options]" for tests; several joined by '+'
// are mixed. False, with nothing made, on any other choice.
bool CreateAudioSources(const char* pszChoice,
                        std::vector<std::unique_ptr<IAudioSource>>* pvSources);

}  // namespace dvengine
