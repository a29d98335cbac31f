#include "engine/core/Timeline.h"

#include <algorithm>

namespace dvengine {

void CTimeline::Push(int64_t nFromUs) {
    m_iNewest = (m_iNewest + 1) % kMaxSegments;
    m_rgSegment[m_iNewest] = {nFromUs, INT64_MAX, m_nCutUs};
    m_nSegments = std::min(m_nSegments + 1, kMaxSegments);
}

void CTimeline::Start(int64_t nNowUs) {
    *this = CTimeline();
    m_bStarted = true;
    m_nStartUs = nNowUs;
    Push(nNowUs);
}

void CTimeline::Pause(int64_t nNowUs) {
    if (!m_bStarted || m_bPaused) {
        return;
    }
    m_bPaused = true;
    m_nPausedAtUs = nNowUs;
    m_rgSegment[m_iNewest].nUntilUs = nNowUs;
}

void CTimeline::Resume(int64_t nNowUs) {
    if (!m_bStarted || !m_bPaused) {
        return;
    }
    m_bPaused = false;
    m_nCutUs += std::max<int64_t>(nNowUs - m_nPausedAtUs, 0);
    Push(nNowUs);
}

void CTimeline::Stop(int64_t nNowUs) {
    if (!m_bStarted || m_bStopped) {
        return;
    }
    m_bStopped = true;
    m_nStopUs = nNowUs;
    if (!m_bPaused) {
        m_rgSegment[m_iNewest].nUntilUs = nNowUs;
    }
}

int64_t CTimeline::FileEndUs() const {
    if (!m_bStopped) {
        return 0;
    }
    const int64_t nEndUs = m_bPaused ? m_nPausedAtUs : m_nStopUs;
    return std::max<int64_t>(nEndUs - m_nStartUs - m_nCutUs, 0);
}

bool CTimeline::Map(int64_t nTs, int64_t* pnFileUs) const {
    int64_t nBoundUs = 0;
    return Locate(nTs, pnFileUs, &nBoundUs);
}

bool CTimeline::Locate(int64_t nTs, int64_t* pnFileUs, int64_t* pnBoundUs) const {
    *pnBoundUs = INT64_MAX;
    if (!m_bStarted) {
        return false;
    }
    for (int n = 0, i = m_iNewest; n < m_nSegments;
         ++n, i = (i + kMaxSegments - 1) % kMaxSegments) {
        const CSegment& seg = m_rgSegment[i];
        if (nTs >= seg.nFromUs) {
            if (nTs >= seg.nUntilUs) {
                return false;
            }
            *pnFileUs = nTs - m_nStartUs - seg.nCutUs;
            *pnBoundUs = seg.nUntilUs;
            return true;
        }
        *pnBoundUs = seg.nFromUs;
    }
    return false;
}

int64_t FrameIndex(int64_t nFileUs, int nFpsNum, int nFpsDen) {
    const int64_t nScale = static_cast<int64_t>(nFpsDen) * 1000000;
    return (nFileUs * nFpsNum + nScale / 2) / nScale;
}

}  // namespace dvengine
