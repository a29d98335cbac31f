// One audio source kept on the capture clock. Its device counts samples on a
// clock of its own, which runs a little fast or slow against ours; placed by
// sample count alone its sound would drift away from the picture. Each block
// says where its first sample belongs on the file's sample timeline (from its
// capture time); a slow control loop on the difference between that and
// where the stream puts it sets the ratio by which the samples are resampled
// (within 1%, inaudible), so the drift never builds up and nothing is cut.
#pragma once

#include <cstdint>
#include <vector>

namespace dvengine {

class CAudioClock {
public:
    // Resamples nFrames interleaved stereo frames whose first belongs at
    // dPos (in samples on the file's timeline) into *pvOut (interleaved,
    // full scale 1.0), the first of them at *pnFirst. A block much later
    // than the stream (the device delivered nothing for a while) starts
    // where it belongs, the gap left silent; one much earlier loses what
    // its time says is already there.
    // A block whose stamp is only a bound (!bTrusted: a backlog's) neither
    // steers the stream nor keeps it aligned: the first trusted block after
    // it does.
    void Add(const int16_t* pSamples, int64_t nFrames, double dPos, bool bTrusted,
             std::vector<float>* pvOut, int64_t* pnFirst);

    bool Anchored() const { return m_bAnchored; }
    // Where the next resampled frame goes.
    int64_t End() const { return m_nOut; }
    // Output frames per input frame: above 1 for a device slower than ours.
    double Ratio() const { return m_dRatio; }

    // Beyond this the stream is not steered but restarted where the samples
    // belong (samples, 100 ms).
    static constexpr double kJump = 4800;
    // The ratio stays within this of 1.
    static constexpr double kMaxDeviation = 0.01;

private:
    void Anchor(double dPos);

    bool m_bAnchored = false;
    bool m_bTrusted = false;   // the stream is aligned on a trusted stamp
    std::vector<float> m_vIn;  // frames not yet used up, from one before the next
    double m_dIn = 0;          // where in m_vIn the next output frame falls
    int64_t m_nOut = 0;
    double m_dRatio = 1;
    double m_dDrift = 0;  // the loop's estimate of the devices' rate difference
    // A least-squares line through (input frames, stamp minus input frames)
    // of the first blocks: its slope is the rate difference.
    struct CFit {
        double dX = 0;  // input frames so far
        double dN = 0, dSx = 0, dSy = 0, dSxx = 0, dSxy = 0, dY0 = 0;
        void Add(double x, double y);
        double Slope() const;
    };
    CFit m_fit;
};

}  // namespace dvengine
