#include "engine/linux/screen/X11Image.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include <xcb/xcbext.h>

#include "engine/linux/screen/X11Connect.h"

namespace dvengine {

namespace {

// Changed rows closer than this are fetched as one band.
constexpr int kBandGap = 32;
// At most this many bands per picture; more, or bands covering most of the
// screen, and the whole screen is fetched.
constexpr size_t kMaxBands = 16;

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
    if (bShared) {
        return;  // the pixels come through the segment: every reply is small
    }
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

unsigned CX11Image::Allocate(xcb_connection_t* pConn, xcb_window_t root, bool bTryShm, int nWidth,
                             int nHeight) {
    if (m_seg && m_pConn == pConn) {
        xcb_shm_detach(pConn, m_seg);
    }
    Release();
    m_pConn = pConn;
    m_root = root;
    m_nWidth = nWidth;
    m_nHeight = nHeight;
    const size_t cb = static_cast<size_t>(nWidth) * nHeight * 4;
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
        m_vOwn.assign(static_cast<size_t>(m_nWidth) * m_nHeight * 4, 0);
        m_pPixels = m_vOwn.data();
    }
}

void CX11Image::Request(std::vector<xcb_rectangle_t>* pvRects, bool bWhole) {
    PlanBands(pvRects, bWhole, m_nWidth, m_nHeight, m_seg != 0, &m_vBands);
    // Full-width rows land in the picture at their own place, so the server
    // writes them straight into the shared segment. Every band is asked for
    // before the first answer is awaited.
    const size_t nStride = static_cast<size_t>(Stride());
    const uint16_t nWidth = static_cast<uint16_t>(m_nWidth);
    m_vSeqs.clear();
    for (const auto& band : m_vBands) {
        int16_t y = static_cast<int16_t>(band.first);
        uint16_t h = static_cast<uint16_t>(band.second - band.first);
        m_vSeqs.push_back(
            m_seg ? xcb_shm_get_image(m_pConn, m_root, 0, y, nWidth, h, ~0u,
                                      XCB_IMAGE_FORMAT_Z_PIXMAP, m_seg,
                                      static_cast<uint32_t>(y * nStride))
                        .sequence
                  : xcb_get_image(m_pConn, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, 0, y, nWidth, h, ~0u)
                        .sequence);
    }
    xcb_flush(m_pConn);
    m_nCollected = 0;
    m_bRefused = false;
}

HRESULT CX11Image::Collect(CReplyWait* pWait, int64_t nDeadlineUs, bool* pbRefused) {
    const size_t nStride = static_cast<size_t>(Stride());
    for (; m_nCollected < m_vBands.size(); ++m_nCollected) {
        void* p = nullptr;
        HRESULT hr = pWait->Await(m_pConn, m_vSeqs[m_nCollected], nDeadlineUs, &p);
        if (hr != S_OK) {
            return hr;
        }
        CReply<xcb_get_image_reply_t> pImage(static_cast<xcb_get_image_reply_t*>(p));
        const auto& band = m_vBands[m_nCollected];
        if (!pImage) {
            m_bRefused = true;
        } else if (!m_seg) {
            size_t cb = nStride * static_cast<size_t>(band.second - band.first);
            if (static_cast<size_t>(xcb_get_image_data_length(pImage.get())) >= cb) {
                memcpy(m_pPixels + band.first * nStride, xcb_get_image_data(pImage.get()), cb);
            } else {
                m_bRefused = true;
            }
        }
    }
    *pbRefused = m_bRefused;
    return S_OK;
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
