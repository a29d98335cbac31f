// The one sound track made from one or more audio sources (the default
// input, what the default output plays): each source on its own clock is
// resampled onto the capture clock and placed by time; where a source
// delivered nothing its place is silence; the sources are summed under a
// soft limiter. Names no platform API, so it serves every platform's sources.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/core/AudioClock.h"

namespace dvengine {

class CAudioMixer {
public:
    explicit CAudioMixer(int nSources);

    // Places nFrames interleaved stereo frames of source iSource whose first
    // belongs at dPos on the file's sample timeline. What falls before the
    // part already taken is too late and goes.
    // bTrusted: as CAudioClock::Add.
    void Add(int iSource, const int16_t* pSamples, int64_t nFrames, double dPos,
             bool bTrusted = true);
    // The source delivers no more: it no longer holds the mix back.
    void Drop(int iSource);

    // How far the mix can be taken: as far as every live source that has
    // delivered has reached, and at least nFloor (a source silent longer
    // than that is silence there, not a wait).
    int64_t Ready(int64_t nFloor) const;
    // The furthest any source has reached.
    int64_t End() const;
    // The frames from Position() up to nUntil, silence where no source had
    // any. With several sources the sum goes through a soft limiter.
    void Take(int64_t nUntil, std::vector<int16_t>* pvOut);
    int64_t Position() const { return m_nTaken; }

    // Frames held ahead of the position at most; beyond is dropped.
    static constexpr int64_t kMaxHeld = 48000 * 10;

private:
    struct CSource {
        CAudioClock clock;
        bool bLive = true;
    };
    std::vector<CSource> m_vSource;
    // Interleaved, from m_nTaken on: what is taken is a little at the front
    // (a vector's contiguous loops cost less than a deque's there).
    std::vector<float> m_vMix;
    int64_t m_nTaken = 0;
    std::vector<float> m_vResampled;
};

// Full-scale 1.0 onto 16 bits: linear up to 3/4 of full scale, then bent
// smoothly towards full scale, never clipped.
int16_t SoftLimit(float f);

}  // namespace dvengine
