#include "engine/core/VideoPacer.h"

#include <algorithm>
#include <cmath>

namespace dvengine {
namespace {

// The bucket holds 0.8 s of the asked rate: over any 10 s the file then
// carries at most 10.8 s worth, with room for a key frame's prediction to be
// off.
constexpr double kBucketSeconds = 0.8;
// A frame larger than the bucket (a key frame at a low rate) is allowed when
// the bucket is this full; the debt it leaves is paid back by drops.
constexpr double kOversizeLevel = 0.75;
// How fast the size model follows the packets.
constexpr double kLearn = 0.5;
// What FFmpeg's WMV2 encoder spends on a macroblock that did not change: it
// codes every one of them.
constexpr double kBitsPerMacroblock = 3.0;
// A change covering this share of the picture sets the whole picture's
// quantiser.
constexpr double kWholeShare = 0.5;

double Blend(double dOld, double dNew) {
    return dOld + kLearn * (dNew - dOld);
}

}  // namespace

CVideoPacer::CVideoPacer(const CPacerSettings& settings) : m_set(settings) {
    m_set.nFpsNum = std::max(m_set.nFpsNum, 1);
    m_set.nFpsDen = std::max(m_set.nFpsDen, 1);
    m_set.nQMin = std::clamp(m_set.nQMin, 1, 31);
    m_set.nQMax = std::clamp(m_set.nQMax, m_set.nQMin, 31);
    m_dArea = std::max(static_cast<double>(m_set.nWidth) * m_set.nHeight, 1.0);
    const double dRate = static_cast<double>(std::max<int64_t>(m_set.nBitrate, 1));
    m_dBitsPerSlot = dRate * m_set.nFpsDen / m_set.nFpsNum;
    m_dCapacity = std::max(kBucketSeconds * dRate, 1.5 * m_dBitsPerSlot);
    m_dOverhead = m_dArea / 256 * kBitsPerMacroblock;
    StartFile();
}

void CVideoPacer::StartFile() {
    // A quarter full: a short file's first seconds stay within the rate too.
    m_dLevel = m_dCapacity / 4;
    m_nLastSlot = -1;
    m_nLastEncodedSlot = -1;
    m_nLastKeySlot = -1;
    m_bFileStart = true;
    m_dPending = m_dArea;
    m_dChangeArea = 0;
    m_nRefineLeft = 0;
    m_nLastChangeSlot = -1;
    m_nPictureQ = m_set.nQMax;
    m_nChangeQ = m_set.nQMax;
}

int64_t CVideoPacer::SlotUs(int64_t nSlot) const {
    return static_cast<int64_t>(static_cast<double>(nSlot) * m_set.nFpsDen * 1e6 / m_set.nFpsNum);
}

void CVideoPacer::Refill(int64_t nSlot) {
    if (m_nLastSlot >= 0 && nSlot > m_nLastSlot) {
        const double dSlots = static_cast<double>(nSlot - m_nLastSlot);
        m_dLevel = std::min(m_dCapacity, m_dLevel + dSlots * m_dBitsPerSlot);
    }
    m_nLastSlot = std::max(m_nLastSlot, nSlot);
}

double CVideoPacer::Target() const {
    // A slot's share, plus whatever the bucket holds above half full (a
    // change after a quiet stretch gets the quiet stretch's bits), but never
    // more than the bucket holds.
    return std::min(m_dBitsPerSlot + std::max(0.0, m_dLevel - m_dCapacity / 2), m_dLevel);
}

int CVideoPacer::QuantiserFor(double dCoded, double dRoom) const {
    if (dCoded <= 0) {
        return m_set.nQMin;
    }
    if (dRoom <= 0) {
        return m_set.nQMax;
    }
    const double dQ = std::ceil(dCoded / dRoom);
    return dQ > m_set.nQMax ? m_set.nQMax : std::max(static_cast<int>(dQ), m_set.nQMin);
}

double CVideoPacer::Predict(CPace::EKind eKind, double dArea, int nQ) const {
    switch (eKind) {
        case CPace::kKeyFrame:
            return m_dKeyCoef * m_dArea / nQ;
        case CPace::kChange:
            return m_dOverhead + m_dPCoef * dArea / nQ;
        case CPace::kRefinement:
            // The whole picture recoded at nQ, less what it had already
            // (a detailed picture's refinement costs most of a key frame,
            // a plain one's little), and the last change with it.
            return m_dOverhead +
                   (nQ < m_nPictureQ ? m_dRefineShare * m_dKeyCoef * m_dArea / nQ : 0.0) +
                   m_dPCoef * m_dChangeArea * std::max(0.0, 1.0 / nQ - 1.0 / m_nChangeQ);
        case CPace::kRepeat:
            break;
    }
    return m_dOverhead;
}

bool CVideoPacer::Plan(CPace::EKind eKind, double dArea, bool bForce, int* pnQ) const {
    const double dTarget = Target();
    int nQ = m_set.nQMax;
    switch (eKind) {
        case CPace::kKeyFrame:
            nQ = QuantiserFor(m_dKeyCoef * m_dArea, dTarget);
            break;
        case CPace::kChange:
            // A small change never finer than the rest of the picture: that
            // would refine all of it, at the cost of a refinement. A change
            // of most of it recodes it anyway.
            nQ = QuantiserFor(m_dPCoef * dArea, dTarget - m_dOverhead);
            if (dArea < kWholeShare * m_dArea) {
                nQ = std::max(nQ, m_nPictureQ);
            }
            break;
        case CPace::kRepeat:
            nQ = std::max(m_nPictureQ, m_nChangeQ);
            break;
        case CPace::kRefinement: {
            // The finest quantiser the target affords, if finer than now.
            const int nNow = std::max(m_nPictureQ, m_nChangeQ);
            for (nQ = m_set.nQMin; nQ < nNow; ++nQ) {
                if (Predict(eKind, dArea, nQ) <= dTarget) {
                    break;
                }
            }
            if (nQ >= nNow) {
                *pnQ = nNow;
                return false;
            }
            break;
        }
    }
    *pnQ = nQ;
    const double dPredicted = Predict(eKind, dArea, nQ);
    return bForce || dPredicted <= m_dLevel || m_dLevel >= kOversizeLevel * m_dCapacity;
}

CPace CVideoPacer::Encode(int64_t nSlot, CPace::EKind eKind, double dArea, int nQ) {
    CPace pace;
    pace.eAction = CPace::kEncode;
    pace.bKey = eKind == CPace::kKeyFrame;
    pace.nQuantiser = nQ;
    pace.eKind = eKind;
    pace.nSlot = nSlot;
    pace.dArea = dArea;
    pace.dPredicted = Predict(eKind, dArea, nQ);
    pace.dDescent = nQ < m_nPictureQ ? m_dKeyCoef * m_dArea / nQ : 0.0;
    pace.nPrevEncodedSlot = m_nLastEncodedSlot;
    pace.nPrevKeySlot = m_nLastKeySlot;
    pace.nPrevPictureQ = m_nPictureQ;
    pace.nPrevChangeQ = m_nChangeQ;
    m_dLevel -= pace.dPredicted;
    m_nLastEncodedSlot = nSlot;
    switch (eKind) {
        case CPace::kKeyFrame:
        case CPace::kRefinement:
            m_nPictureQ = nQ;
            m_nChangeQ = nQ;
            break;
        case CPace::kChange:
            m_nChangeQ = nQ;
            if (dArea >= kWholeShare * m_dArea) {
                m_nPictureQ = nQ;
            }
            break;
        case CPace::kRepeat:
            break;
    }
    if (eKind == CPace::kKeyFrame) {
        m_nLastKeySlot = nSlot;
        m_bFileStart = false;
    }
    if (m_dPending > 0) {
        m_dChangeArea = m_dPending;
        m_dPending = 0;
    }
    return pace;
}

void CVideoPacer::Carry(int64_t nChangedPixels) {
    if (nChangedPixels > 0) {
        m_dPending = std::min(m_dArea, m_dPending + static_cast<double>(nChangedPixels));
        m_nRefineLeft = kRefinements;
    }
}

CPace CVideoPacer::Slot(int64_t nSlot, int64_t nChangedPixels) {
    const bool bFresh = nChangedPixels > 0;
    Carry(nChangedPixels);
    if (bFresh) {
        m_nLastChangeSlot = std::max(m_nLastChangeSlot, nSlot);
    }
    if (m_nLastSlot >= 0 && nSlot <= m_nLastSlot) {
        return CPace();  // a slot already decided: its change waits for the next
    }
    Refill(nSlot);
    const bool bHeartbeat =
        m_nLastEncodedSlot < 0 || SlotUs(nSlot) - SlotUs(m_nLastEncodedSlot) >= kHeartbeatUs;
    const bool bKeyDue = m_bFileStart || m_nLastKeySlot < 0 ||
                         SlotUs(nSlot) - SlotUs(m_nLastKeySlot) >= m_set.nKeyFrameUs;
    int nQ = 0;
    if (m_dPending > 0 || bKeyDue) {
        if (m_dPending <= 0 && !bHeartbeat) {
            return CPace();  // a key frame due waits for a frame to be encoded
        }
        // A key frame the budget cannot take yet is saved up for: the frames
        // before it are dropped (at most kOversizeLevel of the bucket's time).
        const CPace::EKind eKind = bKeyDue ? CPace::kKeyFrame : CPace::kChange;
        const double dArea = bKeyDue ? m_dArea : m_dPending;
        if (Plan(eKind, dArea, m_bFileStart, &nQ)) {
            return Encode(nSlot, eKind, dArea, nQ);
        }
        if (bFresh) {
            ++m_nDropped;
            CPace pace;
            pace.eAction = CPace::kDrop;
            return pace;
        }
        return CPace();
    }
    // Still: refine while the picture is coarser than the finest allowed
    // and the budget affords a finer quantiser; else a heartbeat when due.
    const bool bStill =
        m_nLastChangeSlot < 0 || SlotUs(nSlot) - SlotUs(m_nLastChangeSlot) >= kStillBeforeRefineUs;
    if (bStill && m_nRefineLeft > 0 && std::max(m_nPictureQ, m_nChangeQ) > m_set.nQMin &&
        Plan(CPace::kRefinement, 0, false, &nQ)) {
        --m_nRefineLeft;
        return Encode(nSlot, CPace::kRefinement, 0, nQ);
    }
    if (bHeartbeat && Plan(CPace::kRepeat, 0, false, &nQ)) {
        return Encode(nSlot, CPace::kRepeat, 0, nQ);
    }
    return CPace();
}

CPace CVideoPacer::Close(int64_t nSlot) {
    nSlot = std::max(nSlot, m_nLastSlot);
    if (nSlot <= m_nLastEncodedSlot) {
        return CPace();
    }
    Refill(nSlot);
    const bool bKey = m_bFileStart || m_nLastKeySlot < 0 ||
                      SlotUs(nSlot) - SlotUs(m_nLastKeySlot) >= m_set.nKeyFrameUs;
    const CPace::EKind eKind = bKey             ? CPace::kKeyFrame
                               : m_dPending > 0 ? CPace::kChange
                                                : CPace::kRepeat;
    const double dArea = bKey ? m_dArea : m_dPending;
    int nQ = 0;
    Plan(eKind, dArea, true, &nQ);
    return Encode(nSlot, eKind, dArea, nQ);
}

void CVideoPacer::Encoded(const CPace& pace, int64_t nBytes) {
    if (pace.eAction != CPace::kEncode || pace.nQuantiser <= 0) {
        return;
    }
    const double dBits = 8.0 * static_cast<double>(std::max<int64_t>(nBytes, 0));
    m_dLevel += pace.dPredicted - dBits;
    const double dCoded = std::max(dBits - m_dOverhead, 0.25 * dBits);
    switch (pace.eKind) {
        case CPace::kKeyFrame:
            m_dKeyCoef = std::max(Blend(m_dKeyCoef, dBits * pace.nQuantiser / m_dArea), 1e-3);
            break;
        case CPace::kChange:
            if (pace.dArea > 0) {
                m_dPCoef = std::max(Blend(m_dPCoef, dCoded * pace.nQuantiser / pace.dArea), 1e-3);
            }
            break;
        case CPace::kRefinement:
            if (pace.dDescent > 0) {
                m_dRefineShare =
                    std::clamp(Blend(m_dRefineShare, dCoded / pace.dDescent), 0.01, 1.0);
            }
            break;
        case CPace::kRepeat:
            m_dOverhead = Blend(m_dOverhead, dBits);
            break;
    }
}

void CVideoPacer::Cancel(const CPace& pace) {
    if (pace.eAction != CPace::kEncode) {
        return;
    }
    m_dLevel = std::min(m_dCapacity, m_dLevel + pace.dPredicted);
    m_dPending = std::min(m_dArea, m_dPending + pace.dArea);
    if (m_nLastEncodedSlot == pace.nSlot) {
        m_nLastEncodedSlot = pace.nPrevEncodedSlot;
        m_nPictureQ = pace.nPrevPictureQ;
        m_nChangeQ = pace.nPrevChangeQ;
    }
    if (pace.bKey && m_nLastKeySlot == pace.nSlot) {
        m_nLastKeySlot = pace.nPrevKeySlot;
        m_bFileStart = m_nLastKeySlot < 0;
    }
}

}  // namespace dvengine
