// One audio source kept on the capture clock, at its own pitch. Its device
// counts samples on a clock of its own, a little fast or slow against ours
// (tens to hundreds of ppm); placed by sample count alone its sound would
// drift away from the picture. Two things are told apart:
// - the device's rate error, estimated by a line through the stamps against
//   the sample count over tens of seconds (the stamps' jitter of some
//   milliseconds barely moves it) and taken out by resampling by that ratio,
//   which changes slowly enough that no one hears it;
// - an offset (a start, the first trusted stamp after a backlog, a block
//   after a gap, a server's latency estimate settling), stepped out at once
//   at a seam: samples repeated or dropped with a short crossfade, never by
//   bending the pitch.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

struct SwrContext;

namespace dvengine {

class CAudioClock {
public:
    CAudioClock() = default;
    ~CAudioClock();
    CAudioClock(const CAudioClock&) = delete;
    CAudioClock& operator=(const CAudioClock&) = delete;

    // Resamples nFrames interleaved stereo frames whose first belongs at
    // dPos (in samples on the file's timeline) into *pvOut (interleaved,
    // full scale 1.0): *pnOut frames, the first of them at *pnFirst. Silence
    // comes back as an empty *pvOut with its count. A block much later than
    // the stream (the device delivered nothing for a while) starts where it
    // belongs, the gap left silent; one much earlier loses what its time
    // says is already there.
    // A block whose stamp is only a bound (!bTrusted: a backlog's) neither
    // steers the stream nor keeps it aligned: the first trusted block after
    // it steps the stream to where it belongs.
    // Throws std::bad_alloc when memory runs out; the clock then goes on
    // from the next block as after a gap.
    void Add(const int16_t* pSamples, int64_t nFrames, double dPos, bool bTrusted,
             std::vector<float>* pvOut, int64_t* pnFirst, int64_t* pnOut);

    bool Anchored() const { return m_bAnchored; }
    // Where the next resampled frame goes.
    int64_t End() const { return m_nOut; }
    // Output frames per input frame: above 1 for a device slower than ours.
    double Ratio() const { return m_dRatio; }
    // Offsets stepped out since the first block (the start's own anchor and
    // a gap's not counted).
    int Steps() const { return m_nSteps; }
    // Frames of silence left where the device delivered nothing.
    int64_t GapFrames() const { return m_nGapFrames; }

    // Beyond this the stream is not stepped but restarted where the samples
    // belong (samples, 100 ms): the device delivered nothing for a while.
    static constexpr double kJump = 4800;
    // An offset this large (samples, 12 ms), the median of the last blocks',
    // is stepped out.
    static constexpr double kStepBound = 576;
    // The ratio stays within this of 1: beyond what a device can be, the
    // rest is an offset stepped out.
    static constexpr double kMaxDeviation = 0.006;

private:
    // A line through (input frames, stamp less input frames), points
    // averaged over half a second each, over the last minute: its slope is
    // the device's rate error. Where the stamps jump, a new stretch begins.
    class CRateFit {
    public:
        void Clear();
        void Add(double dX, double dY);
        // The slope and its standard error; false with too few points.
        bool Slope(double* pdSlope, double* pdError) const;
        // The input frames the stretches span.
        double Span() const;

    private:
        struct CPoint {
            double dX, dY;
            int nSegment;
        };
        template <typename F>
        void ForEachCentred(F f) const;
        std::deque<CPoint> m_points;
        int m_nSegment = 0;
        // The point being gathered: its frames' sum, its blocks' values.
        double m_dSumX = 0, m_dFirstX = 0;
        std::vector<double> m_vY;
    };

    void Anchor(double dPos);
    void Steer(double dErr, int64_t nFrames);
    // Repeats (dOffset > 0) or drops that many frames at the next seam.
    void Step(double dOffset);
    // The samples with a pending step applied at their start, into m_vSpliced.
    const int16_t* Splice(const int16_t* pSamples, int64_t* pnFrames);
    void Resample(const int16_t* pSamples, int64_t nFrames, std::vector<float>* pvOut,
                  int64_t* pnOut);
    // Where the next input frame would go.
    double Next() const;

    SwrContext* m_pSwr = nullptr;
    bool m_bAnchored = false;
    bool m_bTrusted = false;  // the stream is aligned on a trusted stamp
    int64_t m_nOut = 0;
    double m_dRatio = 1;
    double m_dTarget = 0;       // the estimated rate error the ratio moves to
    bool m_bSettled = false;    // the estimate has spanned long enough once
    bool m_bRealign = false;    // the rate just became known: align at once
    double m_dSilentFrac = 0;   // output owed for silence not run through the resampler
    int64_t m_nZeroTail = 0;    // the last input frames fed were this many zeros
    int64_t m_nPad = 0;         // a step still to make: frames to add,
    int64_t m_nDrop = 0;        // or to drop
    int m_nSpliceWait = 0;      // blocks it has waited for room
    int m_nOver = 0;            // blocks in a row whose offset was past the bound
    std::deque<double> m_vErr;  // the last blocks' offsets since the last step
    std::vector<double> m_vMedian;
    double m_dFitX = 0;  // input frames since the fit began
    CRateFit m_fit;
    int m_nSteps = 0;
    int64_t m_nGapFrames = 0;
    std::vector<int16_t> m_vSpliced;
};

}  // namespace dvengine
