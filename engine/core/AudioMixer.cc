#include "engine/core/AudioMixer.h"

#include <algorithm>
#include <cmath>

namespace dvengine {
namespace {

// 50 ms: longer than a period of any tone heard, and than the beat of two.
constexpr int64_t kHoldFrames = 2400;
const float kRelease = std::exp(-1.0f / 4800);  // per frame: a tenth of a second

}  // namespace

void CLimiter::Apply(const float* pIn, int64_t nFrames, int16_t* pOut) {
    for (int64_t i = 0; i < nFrames; ++i) {
        const float l = pIn[i * 2];
        const float r = pIn[i * 2 + 1];
        const float fPeak = std::max(std::fabs(l), std::fabs(r));
        if (fPeak >= m_fPeak) {
            m_fPeak = fPeak;
            m_nHold = kHoldFrames;
        } else if (m_nHold > 0) {
            --m_nHold;
        } else {
            m_fPeak = std::max(fPeak, m_fPeak * kRelease);
        }
        // The peak is never below this frame's, so the gain keeps it under
        // the ceiling.
        const float fGain = m_fPeak > kCeiling ? kCeiling / m_fPeak : 1.0f;
        pOut[i * 2] = static_cast<int16_t>(std::lrint(l * fGain * 32767));
        pOut[i * 2 + 1] = static_cast<int16_t>(std::lrint(r * fGain * 32767));
    }
}

void CLimiter::Skip(int64_t nFrames) {
    const int64_t nHeld = std::min(m_nHold, nFrames);
    m_nHold -= nHeld;
    m_fPeak *= std::pow(kRelease, static_cast<float>(nFrames - nHeld));
}

CAudioMixer::CAudioMixer(int nSources) : m_vSource(static_cast<size_t>(std::max(nSources, 1))) {}

void CAudioMixer::Add(int iSource, const int16_t* pSamples, int64_t nFrames, double dPos,
                      bool bTrusted) {
    CSource& source = m_vSource.at(static_cast<size_t>(iSource));
    CSegment seg;
    int64_t nOut = 0;
    source.clock.Add(pSamples, nFrames, dPos, bTrusted, &seg.v, &seg.nPos, &nOut);
    if (seg.v.empty() || seg.nPos + nOut <= m_nTaken) {
        return;  // silence, or too late
    }
    if (seg.nPos < m_nTaken) {
        seg.nFrom = static_cast<size_t>(m_nTaken - seg.nPos);
    }
    source.segments.push_back(std::move(seg));
    source.nHeld += nOut;
    while (source.nHeld > kMaxHeld && source.segments.size() > 1) {
        source.nHeld -= static_cast<int64_t>(source.segments.front().v.size() / 2);
        source.segments.pop_front();
    }
}

void CAudioMixer::SetLive(int iSource, bool bLive) {
    m_vSource.at(static_cast<size_t>(iSource)).bLive = bLive;
}

int64_t CAudioMixer::Ready(int64_t nFloor) const {
    int64_t nReady = INT64_MAX;
    for (const CSource& source : m_vSource) {
        if (source.bLive && source.clock.Anchored()) {
            nReady = std::min(nReady, source.clock.End());
        }
    }
    return nReady == INT64_MAX ? nFloor : std::max(nReady, nFloor);
}

int64_t CAudioMixer::End() const {
    int64_t nEnd = 0;
    for (const CSource& source : m_vSource) {
        nEnd = std::max(nEnd, source.clock.End());
    }
    return nEnd;
}

int64_t CAudioMixer::End(int iSource) const {
    return m_vSource.at(static_cast<size_t>(iSource)).clock.End();
}

int64_t CAudioMixer::GapFrames(int iSource) const {
    return m_vSource.at(static_cast<size_t>(iSource)).clock.GapFrames();
}

int CAudioMixer::Steps() const {
    int nSteps = 0;
    for (const CSource& source : m_vSource) {
        nSteps += source.clock.Steps();
    }
    return nSteps;
}

bool CAudioMixer::Take(int64_t nUntil, std::vector<int16_t>* pvOut) {
    pvOut->clear();
    if (nUntil <= m_nTaken) {
        return false;
    }
    const int64_t nFrames = nUntil - m_nTaken;
    bool bSound = false;
    for (CSource& source : m_vSource) {
        while (!source.segments.empty()) {
            CSegment& seg = source.segments.front();
            const auto nLen = static_cast<int64_t>(seg.v.size() / 2);
            const int64_t nFrom =
                std::max<int64_t>(seg.nPos + static_cast<int64_t>(seg.nFrom), m_nTaken);
            const int64_t nTo = std::min(seg.nPos + nLen, nUntil);
            if (nFrom >= nUntil) {
                break;  // later
            }
            if (!bSound) {
                m_vSum.assign(static_cast<size_t>(nFrames) * 2, 0.0f);
                bSound = true;
            }
            const float* pIn = seg.v.data() + (nFrom - seg.nPos) * 2;
            float* pSum = m_vSum.data() + (nFrom - m_nTaken) * 2;
            for (int64_t i = 0; i < (nTo - nFrom) * 2; ++i) {
                pSum[i] += pIn[i];
            }
            if (nTo < seg.nPos + nLen) {
                seg.nFrom = static_cast<size_t>(nTo - seg.nPos);
                break;
            }
            source.nHeld -= nLen;
            source.segments.pop_front();
        }
    }
    m_nTaken = nUntil;
    if (!bSound) {
        m_limiter.Skip(nFrames);
        return false;
    }
    pvOut->resize(static_cast<size_t>(nFrames) * 2);
    m_limiter.Apply(m_vSum.data(), nFrames, pvOut->data());
    return true;
}

}  // namespace dvengine
