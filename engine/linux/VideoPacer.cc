#include "engine/linux/VideoPacer.h"

#include <algorithm>
#include <cmath>

namespace dvlinux {
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
// What a refinement costs against the change it refines.
constexpr double kRefineShare = 0.25;
// How much finer than the picture before a predicted picture may be coded:
// a finer quantiser refines the whole picture, not only what changed, at a
// cost the size model does not see (FFmpeg's own rate control limits the
// step to 3 for the same reason).
constexpr int kMaxQStep = 3;

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
    m_dRefineArea = 0;
    m_nRefineLeft = 0;
    m_nLastQ = 0;
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

double CVideoPacer::Predict(bool bKey, double dArea, int nQ) const {
    return bKey ? m_dKeyCoef * m_dArea / nQ : m_dOverhead + m_dPCoef * dArea / nQ;
}

bool CVideoPacer::Afford(bool bKey, double dArea, bool bForce, int* pnQ) const {
    // Spend a slot's share, plus whatever the bucket holds above half full
    // (a change after a quiet stretch gets the quiet stretch's bits), but
    // never more than the bucket holds.
    double dTarget = m_dBitsPerSlot + std::max(0.0, m_dLevel - m_dCapacity / 2);
    dTarget = std::min(dTarget, m_dLevel);
    const double dCoded = (bKey ? m_dKeyCoef * m_dArea : m_dPCoef * dArea);
    const double dRoom = dTarget - (bKey ? 0.0 : m_dOverhead);
    int nQ = m_set.nQMax;
    if (dCoded <= 0) {
        nQ = m_set.nQMin;
    } else if (dRoom > 0) {
        const double dQ = std::ceil(dCoded / dRoom);
        nQ = dQ > m_set.nQMax ? m_set.nQMax : std::max(static_cast<int>(dQ), m_set.nQMin);
    }
    if (!bKey && m_nLastQ > 0) {
        nQ = std::max(nQ, std::min(m_nLastQ - kMaxQStep, m_set.nQMax));
    }
    *pnQ = nQ;
    return bForce || Predict(bKey, dArea, nQ) <= m_dLevel ||
           m_dLevel >= kOversizeLevel * m_dCapacity;
}

CPace CVideoPacer::Encode(int64_t nSlot, bool bKey, double dArea, int nQ) {
    CPace pace;
    pace.eAction = CPace::kEncode;
    pace.bKey = bKey;
    pace.nQuantiser = nQ;
    pace.nSlot = nSlot;
    pace.dArea = dArea;
    pace.dPredicted = Predict(bKey, dArea, nQ);
    pace.nPrevEncodedSlot = m_nLastEncodedSlot;
    pace.nPrevKeySlot = m_nLastKeySlot;
    m_dLevel -= pace.dPredicted;
    m_dPending = 0;
    m_nLastEncodedSlot = nSlot;
    if (bKey) {
        m_nLastKeySlot = nSlot;
        m_bFileStart = false;
    }
    m_nLastQ = nQ;
    return pace;
}

CPace CVideoPacer::Slot(int64_t nSlot, int64_t nChangedPixels) {
    const bool bFresh = nChangedPixels > 0;
    if (bFresh) {
        m_dPending = std::min(m_dArea, m_dPending + static_cast<double>(nChangedPixels));
        m_nRefineLeft = kRefinements;
    }
    if (m_nLastSlot >= 0 && nSlot <= m_nLastSlot) {
        return CPace();  // a slot already decided: its change waits for the next
    }
    Refill(nSlot);
    const bool bHeartbeat =
        m_nLastEncodedSlot < 0 || SlotUs(nSlot) - SlotUs(m_nLastEncodedSlot) >= kHeartbeatUs;
    const bool bRefine = m_dPending <= 0 && m_nRefineLeft > 0 && m_nLastQ > m_set.nQMin;
    if (m_dPending <= 0 && !bHeartbeat && !bRefine) {
        return CPace();
    }
    // A refinement codes what the last picture left out: a fraction of its
    // change's cost.
    const double dArea = m_dPending > 0 ? m_dPending : bRefine ? m_dRefineArea * kRefineShare : 0.0;
    const bool bKeyDue = m_bFileStart || m_nLastKeySlot < 0 ||
                         SlotUs(nSlot) - SlotUs(m_nLastKeySlot) >= m_set.nKeyFrameUs;
    // A key frame the budget cannot take yet is saved up for: the frames
    // before it are dropped (at most kOversizeLevel of the bucket's time).
    int nQ = 0;
    const bool bOk =
        bKeyDue ? Afford(true, m_dArea, m_bFileStart, &nQ) : Afford(false, dArea, false, &nQ);
    if (bOk && m_dPending <= 0 && !bKeyDue) {
        if (!bRefine) {
            // A heartbeat repeats the picture: at a finer quantiser it
            // would refine the whole of it, at a cost no model foresees.
            nQ = std::max(nQ, m_nLastQ);
        } else if (nQ >= m_nLastQ && !bHeartbeat) {
            return CPace();  // no finer quantiser affordable yet: refine later
        }
    }
    if (!bOk) {
        if (bFresh) {
            ++m_nDropped;
            CPace pace;
            pace.eAction = CPace::kDrop;
            return pace;
        }
        return CPace();
    }
    if (m_dPending > 0) {
        m_dRefineArea = m_dPending;
    } else if (bRefine) {
        --m_nRefineLeft;
    }
    return Encode(nSlot, bKeyDue, dArea, nQ);
}

CPace CVideoPacer::Close(int64_t nSlot) {
    nSlot = std::max(nSlot, m_nLastSlot);
    if (nSlot <= m_nLastEncodedSlot) {
        return CPace();
    }
    Refill(nSlot);
    const bool bKey = m_bFileStart || m_nLastKeySlot < 0 ||
                      SlotUs(nSlot) - SlotUs(m_nLastKeySlot) >= m_set.nKeyFrameUs;
    const double dArea = bKey ? m_dArea : m_dPending;
    int nQ = 0;
    Afford(bKey, dArea, true, &nQ);
    if (!bKey && dArea <= 0) {
        nQ = std::max(nQ, m_nLastQ);  // the picture again, as a heartbeat
    }
    return Encode(nSlot, bKey, dArea, nQ);
}

void CVideoPacer::Encoded(const CPace& pace, int64_t nBytes) {
    if (pace.eAction != CPace::kEncode || pace.nQuantiser <= 0) {
        return;
    }
    const double dBits = 8.0 * static_cast<double>(std::max<int64_t>(nBytes, 0));
    m_dLevel += pace.dPredicted - dBits;
    if (pace.bKey) {
        m_dKeyCoef = std::max(Blend(m_dKeyCoef, dBits * pace.nQuantiser / m_dArea), 1e-3);
    } else if (pace.dArea > 0) {
        const double dCoded = std::max(dBits - m_dOverhead, 0.25 * dBits);
        m_dPCoef = std::max(Blend(m_dPCoef, dCoded * pace.nQuantiser / pace.dArea), 1e-3);
    } else {
        m_dOverhead = Blend(m_dOverhead, dBits);
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
    }
    if (pace.bKey && m_nLastKeySlot == pace.nSlot) {
        m_nLastKeySlot = pace.nPrevKeySlot;
        m_bFileStart = m_nLastKeySlot < 0;
    }
}

}  // namespace dvlinux
