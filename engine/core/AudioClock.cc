#include "engine/core/AudioClock.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace dvengine {
namespace {

constexpr double kRate = 48000;
// Each point of the rate's line averages this much sound; the line spans
// the last kFitPoints of them (a minute).
constexpr double kPointFrames = kRate / 2;
constexpr size_t kFitPoints = 120;
// A point this far off the line (frames, 15 ms: more than a loaded server's
// answers scatter) shows the stamps jumped.
constexpr double kBreakFrames = 720;
// Once the line spans this much, its slope is the rate error; before, only
// a slope well beyond its own uncertainty is (a device far off our clock
// is caught within seconds, one on it is left alone).
constexpr double kSettleFrames = 10 * kRate;
constexpr double kSignificance = 4;
constexpr double kMinSignificant = 1000e-6;
// How fast the ratio may move towards the estimate, per second of sound:
// quickly until the estimate has settled once, then slowly enough that no
// one hears the pitch move.
constexpr double kFastSlew = 0.01;
constexpr double kSlowSlew = 200e-6;
// The offset is the median over the last kErrBlocks blocks (kMinErrBlocks
// in the stream's first second: a start's offset goes at once), so a stamp
// late by tens of milliseconds (a server's answer delayed) moves nothing.
constexpr size_t kErrBlocks = 15;
constexpr size_t kMinErrBlocks = 5;
// Once the rate is first known, an offset past this (frames, 2 ms) is taken
// out at once.
constexpr double kRealignBound = 96;
// A step's crossfade; a step of up to kMaxRepeat frames repeats the sound
// before the seam, a longer one (or one in a short block) is silence.
constexpr int64_t kFade = 240;
constexpr int64_t kMaxRepeat = 960;
// Blocks a step waits at most for one with room for its seam.
constexpr int kSpliceWait = 8;
// A trailing run of zeros this long leaves nothing but silence in the
// resampler's filter, so further silence need not go through it.
constexpr int64_t kQuietTail = 64;
// The resampler's rate correction is given per this many output frames.
constexpr int kCompensationFrames = 1 << 20;

float Weight(int64_t j) {
    return (static_cast<float>(j) + 0.5f) / static_cast<float>(kFade);
}

int16_t Mix(int16_t a, int16_t b, float w) {
    return static_cast<int16_t>(
        std::lrint((1 - w) * static_cast<float>(a) + w * static_cast<float>(b)));
}

double Median(std::vector<double>* pv) {
    std::nth_element(pv->begin(), pv->begin() + pv->size() / 2, pv->end());
    return (*pv)[pv->size() / 2];
}

SwrContext* NewResampler() {
    AVChannelLayout layout;
    av_channel_layout_default(&layout, 2);
    SwrContext* pSwr = nullptr;
    // The band-limited resampler from the start, with its filter bank for
    // fine rate corrections built while nothing is in it.
    if (swr_alloc_set_opts2(&pSwr, &layout, AV_SAMPLE_FMT_FLT, int(kRate), &layout,
                            AV_SAMPLE_FMT_S16, int(kRate), 0, nullptr) < 0 ||
        swr_init(pSwr) < 0 || swr_set_compensation(pSwr, 1, int(kRate)) < 0 ||
        swr_set_compensation(pSwr, 0, 0) < 0) {
        swr_free(&pSwr);
        throw std::bad_alloc();
    }
    return pSwr;
}

}  // namespace

void CAudioClock::CRateFit::Clear() {
    m_points.clear();
    m_vY.clear();
    m_dSumX = 0;
}

void CAudioClock::CRateFit::Add(double dX, double dY) {
    if (m_vY.empty()) {
        m_dFirstX = dX;
    }
    m_dSumX += dX;
    m_vY.push_back(dY);
    if (dX - m_dFirstX >= kPointFrames) {
        // The median: a stamp that came late (a server's answer delayed
        // under load) does not move the point.
        const CPoint point = {m_dSumX / double(m_vY.size()), Median(&m_vY), m_nSegment};
        double dSlope = 0, dError = 0;
        if (Slope(&dSlope, &dError)) {
            // Off the line by more than the stamps' jitter: the stamps jumped
            // (what a step takes out), and a new stretch of the line begins.
            const CPoint& last = m_points.back();
            if (std::fabs(point.dY - last.dY - dSlope * (point.dX - last.dX)) > kBreakFrames) {
                ++m_nSegment;
            }
        }
        m_points.push_back({point.dX, point.dY, m_nSegment});
        if (m_points.size() > kFitPoints) {
            m_points.pop_front();
        }
        m_dSumX = 0;
        m_vY.clear();
    }
}

// Each stretch between two jumps of the stamps on its own mean, one slope
// for them all: a jump (which a step takes out) moves no slope.
template <typename F>
void CAudioClock::CRateFit::ForEachCentred(F f) const {
    for (size_t i = 0; i < m_points.size();) {
        size_t j = i;
        double dMx = 0, dMy = 0;
        for (; j < m_points.size() && m_points[j].nSegment == m_points[i].nSegment; ++j) {
            dMx += m_points[j].dX - m_points[i].dX;
            dMy += m_points[j].dY - m_points[i].dY;
        }
        dMx /= double(j - i);
        dMy /= double(j - i);
        for (size_t k = i; k < j; ++k) {
            f(m_points[k].dX - m_points[i].dX - dMx, m_points[k].dY - m_points[i].dY - dMy, j - i,
              k == i);
        }
        i = j;
    }
}

double CAudioClock::CRateFit::Span() const {
    double dSpan = 0;
    for (size_t i = 1; i < m_points.size(); ++i) {
        if (m_points[i].nSegment == m_points[i - 1].nSegment) {
            dSpan += m_points[i].dX - m_points[i - 1].dX;
        }
    }
    return dSpan;
}

bool CAudioClock::CRateFit::Slope(double* pdSlope, double* pdError) const {
    double dSxx = 0, dSxy = 0;
    // The points less one mean per stretch and the slope.
    int64_t nFree = -1;
    ForEachCentred([&](double dx, double dy, size_t nIn, bool bFirst) {
        dSxx += dx * dx;
        dSxy += dx * dy;
        nFree += nIn > 1 && !bFirst ? 1 : 0;
    });
    if (dSxx <= 0 || nFree < 1) {
        return false;
    }
    const double dSlope = dSxy / dSxx;
    double dResidual = 0;
    ForEachCentred([&](double dx, double dy, size_t, bool) {
        dResidual += (dy - dSlope * dx) * (dy - dSlope * dx);
    });
    *pdSlope = dSlope;
    *pdError = std::sqrt(dResidual / double(nFree) / dSxx);
    return true;
}

CAudioClock::~CAudioClock() {
    swr_free(&m_pSwr);
}

double CAudioClock::Next() const {
    double dHeld = 0;
    if (m_pSwr != nullptr) {
        dHeld = double(swr_get_delay(m_pSwr, int64_t(kRate) * 1000)) / 1000;
    }
    return double(m_nOut) + dHeld * m_dRatio + double(m_nPad - m_nDrop);
}

void CAudioClock::Anchor(double dPos) {
    // What the resampler still held belongs to the stream before: left out.
    swr_free(&m_pSwr);
    m_nOut = static_cast<int64_t>(std::ceil(dPos));
    m_bAnchored = true;
    m_nPad = m_nDrop = 0;
    m_nSpliceWait = 0;
    m_nOver = 0;
    m_dSilentFrac = 0;
    m_nZeroTail = 0;
    m_vErr.clear();
    m_fit.Clear();
    m_dFitX = 0;
}

void CAudioClock::Add(const int16_t* pSamples, int64_t nFrames, double dPos, bool bTrusted,
                      std::vector<float>* pvOut, int64_t* pnFirst, int64_t* pnOut) {
    pvOut->clear();
    *pnOut = 0;
    try {
        if (!m_bAnchored) {
            Anchor(dPos);
            m_bTrusted = bTrusted;
        } else {
            const double dErr = dPos - Next();
            if (dErr > kJump) {
                m_nGapFrames += static_cast<int64_t>(dErr);
                Anchor(dPos);
                m_bTrusted = bTrusted;
            } else if (dErr < -kJump || (bTrusted && !m_bTrusted)) {
                // Far earlier than the stream (what overlaps goes), or the
                // first trusted stamp after a backlog's bounds: stepped at once.
                Step(dErr);
                if (bTrusted && !m_bTrusted) {
                    m_fit.Clear();
                    m_dFitX = 0;
                    m_bTrusted = true;
                }
            } else if (bTrusted) {
                Steer(dErr, nFrames);
            }
        }
        if (bTrusted) {
            m_fit.Add(m_dFitX, dPos - m_dFitX);
        }
        m_dFitX += double(nFrames);
        *pnFirst = m_nOut;
        const int16_t* pIn = Splice(pSamples, &nFrames);
        if (nFrames > 0) {
            Resample(pIn, nFrames, pvOut, pnOut);
        }
    } catch (const std::bad_alloc&) {
        // The next block starts afresh where it belongs.
        pvOut->clear();
        *pnOut = 0;
        m_bAnchored = false;
        throw;
    }
}

void CAudioClock::Step(double dOffset) {
    const int64_t nNet = m_nPad - m_nDrop + std::llround(dOffset);
    m_nPad = std::max<int64_t>(nNet, 0);
    m_nDrop = std::max<int64_t>(-nNet, 0);
    ++m_nSteps;
    m_vErr.clear();
}

void CAudioClock::Steer(double dErr, int64_t nFrames) {
    // The rate: the line's slope once it is known well enough.
    double dSlope = 0, dError = 0;
    if (m_fit.Slope(&dSlope, &dError)) {
        const bool bKnown = m_bSettled || m_dTarget != 0;
        if (m_fit.Span() >= kSettleFrames) {
            m_bSettled = true;
            m_dTarget = dSlope;
        } else if (!m_bSettled && std::fabs(dSlope) > kSignificance * dError + kMinSignificant) {
            m_dTarget = dSlope;
        }
        m_dTarget = std::clamp(m_dTarget, -kMaxDeviation, kMaxDeviation);
        // What the rate moved the sound by before it was known is an offset
        // of the start's: taken out as soon as the rate is.
        m_bRealign = m_bRealign || (!bKnown && (m_bSettled || m_dTarget != 0));
    }
    const double dMove = (m_bSettled ? kSlowSlew : kFastSlew) * double(nFrames) / kRate;
    m_dRatio += std::clamp(1 + m_dTarget - m_dRatio, -dMove, dMove);

    // The offset: the median of the last blocks', stepped out past the bound.
    m_vErr.push_back(dErr);
    if (m_vErr.size() > kErrBlocks) {
        m_vErr.pop_front();
    }
    if (m_vErr.size() >= (m_dFitX < kRate ? kMinErrBlocks : kErrBlocks)) {
        m_vMedian.assign(m_vErr.begin(), m_vErr.end());
        const double dOffset = Median(&m_vMedian);
        // Past the bound for a while (or at once in the first second after
        // the stream was placed, and when the rate first becomes known): a
        // stretch of late answers from a loaded server makes no seam.
        m_nOver = std::fabs(dOffset) > kStepBound ? m_nOver + 1 : 0;
        if ((m_bRealign && std::fabs(dOffset) > kRealignBound) ||
            m_nOver >= (m_dFitX < kRate ? 1 : int(kErrBlocks))) {
            Step(dOffset);
            m_nOver = 0;
        }
        m_bRealign = false;
    }
}

const int16_t* CAudioClock::Splice(const int16_t* pSamples, int64_t* pnFrames) {
    const int64_t n = *pnFrames;
    if ((m_nPad == 0 && m_nDrop == 0) || n == 0) {
        return pSamples;
    }
    // A step waits a few blocks for one long enough to make its seam in:
    // the sound on either side of it crossfaded, rather than silence.
    const bool bRoom = m_nDrop > 0 ? n >= m_nDrop + kFade : n >= m_nPad + kFade;
    if (!bRoom && m_nPad <= kMaxRepeat && m_nDrop <= kMaxRepeat && m_nSpliceWait < kSpliceWait) {
        ++m_nSpliceWait;
        return pSamples;
    }
    m_nSpliceWait = 0;
    m_vSpliced.clear();
    if (m_nDrop > 0) {
        const int64_t nDrop = m_nDrop;
        if (n <= nDrop) {  // the whole block, and more to come
            m_nDrop -= n;
            *pnFrames = 0;
            return pSamples;
        }
        m_nDrop = 0;
        *pnFrames = n - nDrop;
        m_vSpliced.reserve(size_t(n - nDrop) * 2);
        for (int64_t j = 0; j < n - nDrop; ++j) {
            for (int c = 0; c < 2; ++c) {
                const int16_t s = pSamples[(nDrop + j) * 2 + c];
                // Crossfaded from the sound the seam cuts off, or faded in
                // when the block is too short for that.
                if (j >= kFade) {
                    m_vSpliced.push_back(s);
                } else if (n >= nDrop + kFade) {
                    m_vSpliced.push_back(Mix(pSamples[j * 2 + c], s, Weight(j)));
                } else {
                    m_vSpliced.push_back(Mix(0, s, Weight(j)));
                }
            }
        }
        return m_vSpliced.data();
    }
    const int64_t nPad = m_nPad;
    m_nPad = 0;
    *pnFrames = n + nPad;
    m_vSpliced.reserve(size_t(n + nPad) * 2);
    if (nPad <= kMaxRepeat && n >= nPad + kFade) {
        // The block's first nPad frames twice, the seam crossfaded.
        m_vSpliced.insert(m_vSpliced.end(), pSamples, pSamples + nPad * 2);
        for (int64_t j = 0; j < kFade; ++j) {
            for (int c = 0; c < 2; ++c) {
                m_vSpliced.push_back(
                    Mix(pSamples[(nPad + j) * 2 + c], pSamples[j * 2 + c], Weight(j)));
            }
        }
        m_vSpliced.insert(m_vSpliced.end(), pSamples + kFade * 2, pSamples + n * 2);
    } else {
        m_vSpliced.assign(size_t(nPad) * 2, 0);
        for (int64_t j = 0; j < n; ++j) {
            for (int c = 0; c < 2; ++c) {
                const int16_t s = pSamples[j * 2 + c];
                m_vSpliced.push_back(j < kFade ? Mix(0, s, Weight(j)) : s);
            }
        }
    }
    return m_vSpliced.data();
}

void CAudioClock::Resample(const int16_t* pSamples, int64_t nFrames, std::vector<float>* pvOut,
                           int64_t* pnOut) {
    int64_t nZeros = 0;  // trailing
    while (nZeros < nFrames && pSamples[(nFrames - nZeros) * 2 - 1] == 0 &&
           pSamples[(nFrames - nZeros) * 2 - 2] == 0) {
        ++nZeros;
    }
    if (nZeros == nFrames && m_nZeroTail >= kQuietTail) {
        // Silence in and held is silence out, at the ratio, for nothing.
        const double dOut = double(nFrames) * m_dRatio + m_dSilentFrac;
        *pnOut = static_cast<int64_t>(std::floor(dOut));
        m_dSilentFrac = dOut - double(*pnOut);
        m_nOut += *pnOut;
        m_nZeroTail += nFrames;
        return;
    }
    m_nZeroTail = nZeros == nFrames ? m_nZeroTail + nFrames : nZeros;
    if (m_pSwr == nullptr) {
        m_pSwr = NewResampler();
    }
    const int nDelta = static_cast<int>(std::lrint((1 - 1 / m_dRatio) * kCompensationFrames));
    swr_set_compensation(m_pSwr, nDelta, kCompensationFrames);
    for (int64_t nDone = 0; nDone < nFrames;) {
        const int nIn = static_cast<int>(std::min<int64_t>(nFrames - nDone, INT_MAX / 4));
        const int nMax = swr_get_out_samples(m_pSwr, nIn);
        if (nMax < 0) {
            throw std::bad_alloc();
        }
        const size_t nHad = pvOut->size();
        pvOut->resize(nHad + size_t(nMax) * 2);
        auto* pOut = reinterpret_cast<uint8_t*>(pvOut->data() + nHad);
        const auto* pIn = reinterpret_cast<const uint8_t*>(pSamples + nDone * 2);
        const int nGot = swr_convert(m_pSwr, &pOut, nMax, &pIn, nIn);
        if (nGot < 0) {
            throw std::bad_alloc();
        }
        pvOut->resize(nHad + size_t(nGot) * 2);
        nDone += nIn;
    }
    *pnOut = static_cast<int64_t>(pvOut->size() / 2);
    m_nOut += *pnOut;
}

}  // namespace dvengine
