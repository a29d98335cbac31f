#include "engine/core/AudioMixer.h"

#include <algorithm>
#include <cmath>

namespace dvengine {

int16_t SoftLimit(float f) {
    constexpr float kKnee = 0.75f;
    const float fMag = std::fabs(f);
    float fOut = fMag;
    if (fMag > kKnee) {
        fOut = kKnee + (1 - kKnee) * std::tanh((fMag - kKnee) / (1 - kKnee));
    }
    const auto n = static_cast<int32_t>(std::lrint(std::copysign(fOut, f) * 32768));
    return static_cast<int16_t>(std::clamp<int32_t>(n, -32768, 32767));
}

CAudioMixer::CAudioMixer(int nSources) : m_vSource(static_cast<size_t>(std::max(nSources, 1))) {}

void CAudioMixer::Add(int iSource, const int16_t* pSamples, int64_t nFrames, double dPos,
                      bool bTrusted) {
    CSource& source = m_vSource.at(static_cast<size_t>(iSource));
    int64_t nFirst = 0;
    source.clock.Add(pSamples, nFrames, dPos, bTrusted, &m_vResampled, &nFirst);
    const auto nOut = static_cast<int64_t>(m_vResampled.size() / 2);
    const int64_t nFrom = std::max(nFirst, m_nTaken);
    const int64_t nTo = std::min(nFirst + nOut, m_nTaken + kMaxHeld);
    if (nFrom >= nTo) {
        return;
    }
    const auto nNeed = static_cast<size_t>(nTo - m_nTaken) * 2;
    if (m_vMix.size() < nNeed) {
        m_vMix.resize(nNeed, 0.0f);
    }
    float* pMix = m_vMix.data() + (nFrom - m_nTaken) * 2;
    const float* pIn = m_vResampled.data() + (nFrom - nFirst) * 2;
    for (int64_t i = 0; i < (nTo - nFrom) * 2; ++i) {
        pMix[i] += pIn[i];
    }
}

void CAudioMixer::Drop(int iSource) {
    m_vSource.at(static_cast<size_t>(iSource)).bLive = false;
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

void CAudioMixer::Take(int64_t nUntil, std::vector<int16_t>* pvOut) {
    pvOut->clear();
    if (nUntil <= m_nTaken) {
        return;
    }
    const auto nValues = static_cast<size_t>(nUntil - m_nTaken) * 2;
    pvOut->resize(nValues, 0);
    const size_t nHeld = std::min(nValues, m_vMix.size());
    const bool bLimit = m_vSource.size() > 1;
    for (size_t i = 0; i < nHeld; ++i) {
        const float f = m_vMix[i];
        (*pvOut)[i] =
            bLimit ? SoftLimit(f)
                   : static_cast<int16_t>(std::clamp<long>(std::lrint(f * 32768), -32768, 32767));
    }
    m_vMix.erase(m_vMix.begin(), m_vMix.begin() + static_cast<std::ptrdiff_t>(nHeld));
    m_nTaken = nUntil;
}

}  // namespace dvengine
