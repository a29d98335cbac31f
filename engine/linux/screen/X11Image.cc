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
// screen, and the whole screen is fetched in one request.
constexpr size_t kMaxBands = 16;

}  // namespace

bool CX11Image::Allocate(xcb_connection_t* pConn, xcb_window_t root, bool bTryShm, int nWidth,
                         int nHeight, int64_t nDeadlineUs) {
    if (m_seg && m_pConn == pConn) {
        xcb_shm_detach(pConn, m_seg);
    }
    Release();
    m_pConn = pConn;
    m_root = root;
    m_nWidth = nWidth;
    m_nHeight = nHeight;
    size_t cb = static_cast<size_t>(nWidth) * nHeight * 4;
    int nId = bTryShm ? shmget(IPC_PRIVATE, cb, IPC_CREAT | 0600) : -1;
    void* p = nId < 0 ? reinterpret_cast<void*>(-1) : shmat(nId, nullptr, 0);
    if (p != reinterpret_cast<void*>(-1)) {
        m_pShm = static_cast<uint8_t*>(p);
        xcb_shm_seg_t seg = xcb_generate_id(pConn);
        unsigned nAttach = xcb_shm_attach_checked(pConn, seg, nId, 0).sequence;
        unsigned nSync = xcb_get_input_focus(pConn).sequence;
        xcb_flush(pConn);
        void* pSync = nullptr;
        bool bAnswered = AwaitReply(pConn, nSync, nDeadlineUs, &pSync);
        free(pSync);
        // The later reply has come, so the attach's outcome is known: an
        // error when the server cannot see our memory (it runs elsewhere).
        void* pNone = nullptr;
        xcb_generic_error_t* pError = nullptr;
        if (bAnswered && xcb_poll_for_reply(pConn, nAttach, &pNone, &pError) && !pError) {
            m_seg = seg;
            m_pPixels = m_pShm;
        }
        free(pNone);
        free(pError);
        if (!bAnswered) {
            shmctl(nId, IPC_RMID, nullptr);
            return false;
        }
    }
    // Marked for removal at once: it goes when both sides have let go, even
    // if this process dies.
    if (nId >= 0) {
        shmctl(nId, IPC_RMID, nullptr);
    }
    if (!m_pPixels) {
        if (m_pShm) {
            shmdt(m_pShm);
            m_pShm = nullptr;
        }
        m_vOwn.assign(cb, 0);
        m_pPixels = m_vOwn.data();
    }
    return true;
}

bool CX11Image::Fetch(std::vector<xcb_rectangle_t>* pvRects, bool bWhole, int64_t nDeadlineUs,
                      bool* pbRefused) {
    *pbRefused = false;
    m_vBands.clear();
    if (!bWhole) {
        std::sort(pvRects->begin(), pvRects->end(),
                  [](const xcb_rectangle_t& a, const xcb_rectangle_t& b) { return a.y < b.y; });
        for (const xcb_rectangle_t& rc : *pvRects) {
            if (!m_vBands.empty() && rc.y <= m_vBands.back().second + kBandGap) {
                m_vBands.back().second = std::max(m_vBands.back().second, rc.y + rc.height);
            } else {
                m_vBands.emplace_back(rc.y, rc.y + rc.height);
            }
        }
        int nRows = 0;
        for (const auto& band : m_vBands) {
            nRows += band.second - band.first;
        }
        bWhole = m_vBands.size() > kMaxBands || nRows * 4 > m_nHeight * 3;
    }
    if (bWhole) {
        m_vBands.assign(1, {0, m_nHeight});
    }
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
    for (size_t i = 0; i < m_vBands.size(); ++i) {
        void* p = nullptr;
        if (!AwaitReply(m_pConn, m_vSeqs[i], nDeadlineUs, &p)) {
            return false;
        }
        CReply<xcb_get_image_reply_t> pImage(static_cast<xcb_get_image_reply_t*>(p));
        if (!pImage) {
            *pbRefused = true;
        } else if (!m_seg) {
            size_t cb = nStride * (m_vBands[i].second - m_vBands[i].first);
            if (static_cast<size_t>(xcb_get_image_data_length(pImage.get())) >= cb) {
                memcpy(m_pPixels + m_vBands[i].first * nStride, xcb_get_image_data(pImage.get()),
                       cb);
            } else {
                *pbRefused = true;
            }
        }
    }
    return true;
}

void CX11Image::Release() {
    m_seg = 0;
    if (m_pShm) {
        shmdt(m_pShm);
        m_pShm = nullptr;
    }
    std::vector<uint8_t>().swap(m_vOwn);
    m_pPixels = nullptr;
}

}  // namespace dvengine
