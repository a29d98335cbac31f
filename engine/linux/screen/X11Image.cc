#include "engine/linux/screen/X11Image.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include <xcb/xcbext.h>

#include "engine/core/TileDiff.h"
#include "engine/linux/screen/X11Connect.h"

namespace dvengine {

namespace {

// Changed rows closer than this are fetched as one band.
constexpr int kBandGap = 32;
// At most this many bands per picture; more, or bands covering most of the
// screen, and the whole screen is fetched.
constexpr size_t kMaxBands = 16;

// The hash of a row not known (fetched since it was last checked).
constexpr uint64_t kUnknown = 0;

// A hash of a row's colour bytes (the fourth byte of each pixel ignored).
// Four lanes, each word mixed in by xor and an odd multiplier: a bijection of
// the lane's state for each word, so two rows that differ in a single word
// never hash alike.
uint64_t RowHash(const uint8_t* pRow, int nWidth) {
    constexpr uint64_t kMask = 0x00FFFFFF00FFFFFFull;
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    uint64_t rgLane[4] = {1, 2, 3, 4};
    const size_t nWords = static_cast<size_t>(nWidth) / 2;  // two pixels a word
    size_t i = 0;
    for (; i + 4 <= nWords; i += 4) {
        for (int k = 0; k < 4; ++k) {
            uint64_t w;
            std::memcpy(&w, pRow + 8 * (i + k), 8);
            rgLane[k] = (rgLane[k] ^ (w & kMask)) * kMul;
        }
    }
    for (; i < nWords; ++i) {
        uint64_t w;
        std::memcpy(&w, pRow + 8 * i, 8);
        rgLane[0] = (rgLane[0] ^ (w & kMask)) * kMul;
    }
    if (nWidth % 2 != 0) {
        uint32_t n;
        std::memcpy(&n, pRow + 8 * nWords, 4);
        rgLane[1] = (rgLane[1] ^ (n & 0x00FFFFFFu)) * kMul;
    }
    const uint64_t h = rgLane[0] + rgLane[1] * 3 + rgLane[2] * 5 + rgLane[3] * 7;
    return h == kUnknown ? h + 1 : h;
}

// Without shared memory every band is cut into replies of at most
// kMaxReplyBytes.
void SplitBands(int nWidth, CBands* pvBands) {
    const int nMaxRows =
        static_cast<int>(std::max<size_t>(kMaxReplyBytes / (static_cast<size_t>(nWidth) * 4), 1));
    for (size_t i = 0; i < pvBands->size(); ++i) {
        const int nFirst = (*pvBands)[i].first;
        const int nEnd = (*pvBands)[i].second;
        if (nEnd - nFirst > nMaxRows) {
            (*pvBands)[i].second = nFirst + nMaxRows;
            pvBands->insert(pvBands->begin() + static_cast<std::ptrdiff_t>(i) + 1,
                            {nFirst + nMaxRows, nEnd});
        }
    }
}

}  // namespace

void PlanBands(std::vector<xcb_rectangle_t>* pvRects, bool bWhole, int nWidth, int nHeight,
               bool bShared, CBands* pvBands) {
    pvBands->clear();
    if (!bWhole) {
        std::sort(pvRects->begin(), pvRects->end(),
                  [](const xcb_rectangle_t& a, const xcb_rectangle_t& b) { return a.y < b.y; });
        for (const xcb_rectangle_t& rc : *pvRects) {
            if (!pvBands->empty() && rc.y <= pvBands->back().second + kBandGap) {
                pvBands->back().second = std::max(pvBands->back().second, rc.y + rc.height);
            } else {
                pvBands->emplace_back(rc.y, rc.y + rc.height);
            }
        }
        int nRows = 0;
        for (const auto& band : *pvBands) {
            nRows += band.second - band.first;
        }
        bWhole = pvBands->size() > kMaxBands || nRows * 4 > nHeight * 3;
    }
    if (bWhole) {
        pvBands->assign(1, {0, nHeight});
    }
    if (!bShared) {
        SplitBands(nWidth, pvBands);
    }
}

unsigned CX11Image::Allocate(xcb_connection_t* pConn, xcb_window_t root, bool bTryShm, int nWidth,
                             int nHeight, int nCheckRows) {
    if (m_seg && m_pConn == pConn) {
        xcb_shm_detach(pConn, m_seg);
    }
    Release();
    m_pConn = pConn;
    m_root = root;
    m_nWidth = nWidth;
    m_nHeight = nHeight;
    m_nCheckRows = std::min(nCheckRows, nHeight);
    m_nCheckFrom = -1;
    m_vRowHash.assign(static_cast<size_t>(nHeight), kUnknown);
    const size_t cb = static_cast<size_t>(nWidth) * (nHeight + m_nCheckRows) * 4;
    int nId = bTryShm ? shmget(IPC_PRIVATE, cb, IPC_CREAT | 0600) : -1;
    void* p = nId < 0 ? reinterpret_cast<void*>(-1) : shmat(nId, nullptr, 0);
    if (p != reinterpret_cast<void*>(-1)) {
        m_pShm = static_cast<uint8_t*>(p);
        m_nShmId = nId;
        m_segOffered = xcb_generate_id(pConn);
        m_nAttachSeq = xcb_shm_attach_checked(pConn, m_segOffered, nId, 0).sequence;
        // The later reply brings the attach's outcome with it: an error when
        // the server cannot see our memory (it runs elsewhere).
        unsigned nSync = xcb_get_input_focus(pConn).sequence;
        xcb_flush(pConn);
        return nSync;
    }
    if (nId >= 0) {
        shmctl(nId, IPC_RMID, nullptr);
    }
    m_vOwn.assign(cb, 0);
    m_pPixels = m_vOwn.data();
    return 0;
}

void CX11Image::Attached() {
    void* pNone = nullptr;
    xcb_generic_error_t* pError = nullptr;
    if (xcb_poll_for_reply(m_pConn, m_nAttachSeq, &pNone, &pError) && !pError) {
        m_seg = m_segOffered;
        m_pPixels = m_pShm;
    }
    free(pNone);
    free(pError);
    // Marked for removal now that the server has answered: it goes when both
    // sides have let go, even if this process dies.
    shmctl(m_nShmId, IPC_RMID, nullptr);
    m_nShmId = -1;
    if (!m_pPixels) {
        shmdt(m_pShm);
        m_pShm = nullptr;
        m_vOwn.assign(static_cast<size_t>(m_nWidth) * (m_nHeight + m_nCheckRows) * 4, 0);
        m_pPixels = m_vOwn.data();
    }
}

void CX11Image::RequestCheck(int nCheckFrom) {
    m_vFetches.clear();
    m_vBands.clear();
    m_nCollected = 0;
    m_bRefused = false;
    m_nCheckFrom = -1;
    if (m_nCheckRows <= 0 || nCheckFrom < 0 || nCheckFrom >= m_nHeight) {
        return;
    }
    m_nCheckFrom = nCheckFrom;
    CBands vCheck(1, {nCheckFrom, std::min(nCheckFrom + m_nCheckRows, m_nHeight)});
    if (!m_seg) {
        SplitBands(m_nWidth, &vCheck);
    }
    const size_t nStride = static_cast<size_t>(Stride());
    for (const auto& band : vCheck) {
        Send({band.first, band.second, (m_nHeight + band.first - nCheckFrom) * nStride, 0});
    }
}

void CX11Image::Request(std::vector<xcb_rectangle_t>* pvRects, bool bWhole) {
    PlanBands(pvRects, bWhole, m_nWidth, m_nHeight, m_seg != 0, &m_vBands);
    // Full-width rows land in the picture at their own place, so the server
    // writes them straight into the shared segment. Every band is asked for
    // before the first answer is awaited.
    const size_t nStride = static_cast<size_t>(Stride());
    for (const auto& band : m_vBands) {
        Send({band.first, band.second, band.first * nStride, 0});
        std::fill(m_vRowHash.begin() + band.first, m_vRowHash.begin() + band.second, kUnknown);
    }
    xcb_flush(m_pConn);
}

void CX11Image::Send(CFetch fetch) {
    const int16_t y = static_cast<int16_t>(fetch.nFirst);
    const uint16_t h = static_cast<uint16_t>(fetch.nEnd - fetch.nFirst);
    const uint16_t w = static_cast<uint16_t>(m_nWidth);
    fetch.nSeq =
        m_seg ? xcb_shm_get_image(m_pConn, m_root, 0, y, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                  m_seg, static_cast<uint32_t>(fetch.nOffset))
                    .sequence
              : xcb_get_image(m_pConn, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, 0, y, w, h, ~0u).sequence;
    m_vFetches.push_back(fetch);
}

HRESULT CX11Image::Collect(CReplyWait* pWait, int64_t nDeadlineUs, bool* pbRefused) {
    const size_t nStride = static_cast<size_t>(Stride());
    for (; m_nCollected < m_vFetches.size(); ++m_nCollected) {
        const CFetch& fetch = m_vFetches[m_nCollected];
        void* p = nullptr;
        HRESULT hr = pWait->Await(m_pConn, fetch.nSeq, nDeadlineUs, &p);
        if (hr != S_OK) {
            return hr;
        }
        CReply<xcb_get_image_reply_t> pImage(static_cast<xcb_get_image_reply_t*>(p));
        if (!pImage) {
            m_bRefused = true;
        } else if (!m_seg) {
            size_t cb = nStride * static_cast<size_t>(fetch.nEnd - fetch.nFirst);
            if (static_cast<size_t>(xcb_get_image_data_length(pImage.get())) >= cb) {
                memcpy(m_pPixels + fetch.nOffset, xcb_get_image_data(pImage.get()), cb);
            } else {
                m_bRefused = true;
            }
        }
    }
    *pbRefused = m_bRefused;
    return S_OK;
}

void CX11Image::Check(std::vector<CRect>* pvMissed) {
    if (m_nCheckFrom < 0 || m_bRefused || !m_pPixels) {
        return;
    }
    const int nStride = Stride();
    const int nEnd = std::min(m_nCheckFrom + m_nCheckRows, m_nHeight);
    const uint8_t* pBand = m_pPixels + static_cast<ptrdiff_t>(m_nHeight) * nStride;
    // A tile row whose rows hash as the picture's did when it was last
    // checked is as it was, and the picture is not read (most of it is out of
    // every cache by the time the sweep comes back to it). Rows the grab
    // fetched after the check's are newer than it: left to the next sweep.
    for (int y0 = m_nCheckFrom; y0 < nEnd; y0 += CTileDiff::kTile) {
        const int nRows = std::min(CTileDiff::kTile, nEnd - y0);
        if (std::any_of(m_vBands.begin(), m_vBands.end(), [&](const std::pair<int, int>& band) {
                return band.first < y0 + nRows && y0 < band.second;
            })) {
            continue;
        }
        uint64_t rgHash[CTileDiff::kTile];
        bool bSame = true;
        for (int i = 0; i < nRows; ++i) {
            rgHash[i] =
                RowHash(pBand + static_cast<ptrdiff_t>(y0 - m_nCheckFrom + i) * nStride, m_nWidth);
            bSame = bSame && rgHash[i] == m_vRowHash[y0 + i];
        }
        if (!bSame) {
            CompareTiles(pBand + static_cast<ptrdiff_t>(y0 - m_nCheckFrom) * nStride, nStride,
                         m_pPixels + static_cast<ptrdiff_t>(y0) * nStride, nStride, m_nWidth, y0,
                         nRows, pvMissed);
            std::copy(rgHash, rgHash + nRows, m_vRowHash.begin() + y0);
        }
    }
}

void CX11Image::Release() {
    m_seg = 0;
    if (m_nShmId >= 0) {
        shmctl(m_nShmId, IPC_RMID, nullptr);  // offered, never answered
        m_nShmId = -1;
    }
    if (m_pShm) {
        shmdt(m_pShm);
        m_pShm = nullptr;
    }
    std::vector<uint8_t>().swap(m_vOwn);
    m_pPixels = nullptr;
}

}  // namespace dvengine
