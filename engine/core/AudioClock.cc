#include "engine/core/AudioClock.h"

#include <algorithm>
#include <cmath>

namespace dvengine {
namespace {

constexpr double kRate = 48000;
// The loop (a second-order one: the phase error steers the ratio directly
// and through its integral, the estimate of the rate difference), critically
// damped, so the stamps' jitter barely moves the pitch. Its integral starts
// from a least-squares fit of the first seconds' stamps, so a device 0.5% off
// is caught within a few milliseconds and a first stamp off by some
// milliseconds (a server's latency estimate settling) is not integrated
// into a wrong rate.
constexpr double kOmega = 0.5;  // natural frequency, rad/s
constexpr double kDamping = 1.0;
// The rate difference is first fitted over this much sound.
constexpr double kFitFrames = 3 * kRate;

// Catmull-Rom interpolation between x0 and x1 at t in [0, 1).
float Cubic(float xm1, float x0, float x1, float x2, float t) {
    const float a = -0.5f * xm1 + 1.5f * x0 - 1.5f * x1 + 0.5f * x2;
    const float b = xm1 - 2.5f * x0 + 2 * x1 - 0.5f * x2;
    const float c = -0.5f * xm1 + 0.5f * x1;
    return ((a * t + b) * t + c) * t + x0;
}

}  // namespace

void CAudioClock::CFit::Add(double x, double y) {
    if (dN == 0) {
        dY0 = y;  // kept small, for precision
    }
    y -= dY0;
    dN += 1;
    dSx += x;
    dSy += y;
    dSxx += x * x;
    dSxy += x * y;
}

double CAudioClock::CFit::Slope() const {
    const double dDen = dN * dSxx - dSx * dSx;
    return dDen > 0 ? (dN * dSxy - dSx * dSy) / dDen : 0;
}

void CAudioClock::Anchor(double dPos) {
    if (m_fit.dX < kFitFrames) {
        m_fit = CFit();  // a gap while fitting: start afresh
    }
    m_vIn.clear();
    m_nOut = static_cast<int64_t>(std::ceil(dPos));
    m_dIn = (static_cast<double>(m_nOut) - dPos) / m_dRatio;
    m_bAnchored = true;
}

void CAudioClock::Add(const int16_t* pSamples, int64_t nFrames, double dPos, bool bTrusted,
                      std::vector<float>* pvOut, int64_t* pnFirst) {
    pvOut->clear();
    if (!m_bAnchored || (bTrusted && !m_bTrusted)) {
        Anchor(dPos);
        m_bTrusted = bTrusted;
    } else {
        const auto nHeld = static_cast<double>(m_vIn.size() / 2);
        const double dErr = dPos - (static_cast<double>(m_nOut) + (nHeld - m_dIn) * m_dRatio);
        if (dErr > kJump) {
            Anchor(dPos);
        } else if (dErr < -kJump) {
            const int64_t nSkip = std::min(nFrames, static_cast<int64_t>(-dErr));
            pSamples += nSkip * 2;
            nFrames -= nSkip;
        } else if (bTrusted) {
            const double dt = static_cast<double>(nFrames) / kRate;
            const double dErrS = dErr / kRate;
            if (m_fit.dX < kFitFrames) {
                // At first the rate difference is the slope of the stamps
                // against the sample count; once that is known well the
                // loop's integral refines it.
                m_fit.Add(m_fit.dX, dPos - m_fit.dX);
                m_fit.dX += static_cast<double>(nFrames);
                if (m_fit.dX >= kRate / 2) {
                    m_dDrift = std::clamp(m_fit.Slope(), -kMaxDeviation, kMaxDeviation);
                }
            } else {
                m_dDrift = std::clamp(m_dDrift + kOmega * kOmega * dErrS * dt, -kMaxDeviation,
                                      kMaxDeviation);
            }
            // Never more than half the error corrected within one block, so
            // a long block (after a stall) cannot overshoot.
            const double dGain = std::min(2 * kDamping * kOmega, dt > 0 ? 0.5 / dt : 0.0);
            m_dRatio =
                std::clamp(1 + m_dDrift + dGain * dErrS, 1 - kMaxDeviation, 1 + kMaxDeviation);
        }
    }
    *pnFirst = m_nOut;
    if (nFrames <= 0) {
        return;
    }
    m_vIn.insert(m_vIn.end(), pSamples, pSamples + nFrames * 2);
    std::transform(m_vIn.end() - nFrames * 2, m_vIn.end(), m_vIn.end() - nFrames * 2,
                   [](float f) { return f * (1.0f / 32768); });
    const auto nIn = static_cast<int64_t>(m_vIn.size() / 2);
    const double dStep = 1 / m_dRatio;
    // Silence in and held is silence out: the positions advance as ever,
    // with nothing to interpolate (a muted input costs next to nothing).
    const bool bSilent = std::all_of(m_vIn.begin(), m_vIn.end(), [](float f) { return f == 0; });
    if (!bSilent) {
        pvOut->reserve(static_cast<size_t>((static_cast<double>(nIn) - m_dIn) * m_dRatio + 2) * 2);
    }
    for (;;) {
        const auto i = static_cast<int64_t>(std::floor(m_dIn));
        if (i + 2 >= nIn) {
            break;
        }
        if (!bSilent) {
            const auto t = static_cast<float>(m_dIn - static_cast<double>(i));
            const float* p = &m_vIn[static_cast<size_t>(i) * 2];
            const float* pm1 = i > 0 ? p - 2 : p;
            for (int c = 0; c < 2; ++c) {
                pvOut->push_back(Cubic(pm1[c], p[c], p[2 + c], p[4 + c], t));
            }
        }
        m_dIn += dStep;
        ++m_nOut;
    }
    if (bSilent) {
        pvOut->assign(static_cast<size_t>(m_nOut - *pnFirst) * 2, 0.0f);
    }
    // Keep the frame before the next one: the interpolation looks back one.
    const int64_t nDrop = std::max<int64_t>(static_cast<int64_t>(std::floor(m_dIn)) - 1, 0);
    m_vIn.erase(m_vIn.begin(), m_vIn.begin() + std::min(nDrop, nIn) * 2);
    m_dIn -= static_cast<double>(std::min(nDrop, nIn));
}

}  // namespace dvengine
