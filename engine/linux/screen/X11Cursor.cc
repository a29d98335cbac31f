#include "engine/linux/screen/X11Cursor.h"

#include <algorithm>
#include <cstring>

namespace dvengine {

void CX11Cursor::SetImage(const uint32_t* pArgb, int nWidth, int nHeight, int nHotX, int nHotY) {
    m_vImage.assign(pArgb, pArgb + static_cast<size_t>(nWidth) * nHeight);
    m_nWidth = nWidth;
    m_nHeight = nHeight;
    m_nHotX = nHotX;
    m_nHotY = nHotY;
    m_bImageChanged = true;
}

bool CX11Cursor::SetImage(const xcb_xfixes_get_cursor_image_reply_t& reply) {
    // The reply's length counts 4-byte words after its 32-byte header, one
    // per pixel; xcb's own list length is the header's width times height.
    if (uint64_t{reply.width} * reply.height > reply.length) {
        return false;
    }
    SetImage(xcb_xfixes_get_cursor_image_cursor_image(&reply), reply.width, reply.height,
             reply.xhot, reply.yhot);
    return true;
}

void CX11Cursor::Restore(uint8_t* pPixels, int nStride) {
    if (m_bRestored) {
        return;
    }
    m_bRestored = true;
    const CRect& rc = m_rcDrawn;
    for (int y = 0; y < rc.h; ++y) {
        memcpy(pPixels + static_cast<size_t>(rc.y + y) * nStride + rc.x * 4,
               &m_vUnder[static_cast<size_t>(y) * rc.w], rc.w * 4);
    }
}

void CX11Cursor::Draw(uint8_t* pPixels, int nStride, int nWidth, int nHeight, int nX, int nY,
                      bool bVisible, std::vector<CRect>* pvChanged) {
    CRect rc;
    int nLeft = nX - m_nHotX;
    int nTop = nY - m_nHotY;
    if (bVisible && m_nWidth > 0) {
        rc.x = std::max(nLeft, 0);
        rc.y = std::max(nTop, 0);
        rc.w = std::min(nLeft + m_nWidth, nWidth) - rc.x;
        rc.h = std::min(nTop + m_nHeight, nHeight) - rc.y;
        if (rc.w <= 0 || rc.h <= 0) {
            rc = CRect();
        }
    }
    if (m_bImageChanged || !(rc == m_rcDrawn)) {
        if (m_rcDrawn.w > 0) {
            pvChanged->push_back(m_rcDrawn);
        }
        if (rc.w > 0) {
            pvChanged->push_back(rc);
        }
        m_bImageChanged = false;
    }
    m_rcDrawn = rc;
    m_bRestored = false;
    m_vUnder.resize(static_cast<size_t>(rc.w) * rc.h);
    for (int y = 0; y < rc.h; ++y) {
        auto* pRow = reinterpret_cast<uint32_t*>(pPixels + static_cast<size_t>(rc.y + y) * nStride +
                                                 rc.x * 4);
        memcpy(&m_vUnder[static_cast<size_t>(y) * rc.w], pRow, rc.w * 4);
        const uint32_t* pSrc =
            &m_vImage[static_cast<size_t>(rc.y + y - nTop) * m_nWidth + (rc.x - nLeft)];
        for (int x = 0; x < rc.w; ++x) {
            uint32_t s = pSrc[x];
            uint32_t a = s >> 24;
            if (a == 255) {
                pRow[x] = s;
            } else if (a != 0) {
                // Premultiplied: the cursor's colour plus what shows through.
                uint32_t d = pRow[x];
                uint32_t nOut = 0;
                for (int nShift = 0; nShift < 24; nShift += 8) {
                    uint32_t c = ((s >> nShift) & 0xff) + ((d >> nShift) & 0xff) * (255 - a) / 255;
                    nOut |= std::min(c, 255u) << nShift;
                }
                pRow[x] = nOut | (d & 0xff000000u);
            }
        }
    }
}

void CX11Cursor::Forget() {
    m_rcDrawn = CRect();
    m_bImageChanged = true;
}

}  // namespace dvengine
