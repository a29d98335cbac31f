// The one sound track made from one or more audio sources (the default
// input, what the default output plays): each source on its own clock is
// resampled onto the capture clock and placed by time; where a source
// delivered nothing its place is silence, which is neither stored nor
// summed; the sum goes through a limiter that never reaches full scale.
// Names no platform API, so it serves every platform's sources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "engine/core/AudioClock.h"

namespace dvengine {

// Keeps a sum under full scale without bending the waveform: the gain
// follows the loudest recent peak (at once on the way down, held and then
// released over about a tenth of a second on the way up), so a loud stretch
// is turned down as a whole rather than clipped.
class CLimiter {
public:
    // Interleaved stereo, full scale 1.0, onto 16 bits.
    void Apply(const float* pIn, int64_t nFrames, int16_t* pOut);
    // Silence passed: the held peak ages as if it had gone through.
    void Skip(int64_t nFrames);

    static constexpr float kCeiling = 0.89f;  // -1 dBFS

private:
    float m_fPeak = 0;
    int64_t m_nHold = 0;
};

class CAudioMixer {
public:
    explicit CAudioMixer(int nSources);

    // Places nFrames interleaved stereo frames of source iSource whose first
    // belongs at dPos on the file's sample timeline. What falls before the
    // part already taken is too late and goes. bTrusted: as
    // CAudioClock::Add. Throws std::bad_alloc when memory runs out: that
    // block is lost, the rest of the mix unchanged.
    void Add(int iSource, const int16_t* pSamples, int64_t nFrames, double dPos,
             bool bTrusted = true);
    // Whether the source is delivering: one that is not (lost for now) no
    // longer holds the mix back.
    void SetLive(int iSource, bool bLive);

    // How far the mix can be taken: as far as every live source that has
    // delivered has reached, and at least nFloor (a source silent longer
    // than that is silence there, not a wait).
    int64_t Ready(int64_t nFloor) const;
    // The furthest any source has reached.
    int64_t End() const;
    // The frames from Position() up to nUntil, silence where no source had
    // any: false, with *pvOut empty, when that is all silence.
    bool Take(int64_t nUntil, std::vector<int16_t>* pvOut);
    int64_t Position() const { return m_nTaken; }
    // Where source iSource's sound reaches, and the silence left in it
    // where its device delivered nothing.
    int64_t End(int iSource) const;
    int64_t GapFrames(int iSource) const;
    // Offsets stepped out, over every source.
    int Steps() const;

    // Frames of sound held for one source at most; beyond, the oldest go.
    static constexpr int64_t kMaxHeld = 48000 * 10;

private:
    struct CSegment {
        int64_t nPos = 0;  // where its first frame belongs
        size_t nFrom = 0;  // frames already taken
        std::vector<float> v;
    };
    struct CSource {
        CAudioClock clock;
        bool bLive = true;
        std::deque<CSegment> segments;
        int64_t nHeld = 0;
    };
    std::vector<CSource> m_vSource;
    int64_t m_nTaken = 0;
    std::vector<float> m_vSum;
    CLimiter m_limiter;
};

}  // namespace dvengine
