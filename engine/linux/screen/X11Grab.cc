// The X11 source's grab, in steps that a late reply can interrupt and the
// next grab resumes.
#include <xcb/xcbext.h>

#include <algorithm>
#include <cstdlib>

#include "engine/linux/screen/X11Screen.h"

namespace dvengine {

template <typename T>
HRESULT CX11Source::AwaitInGrab(unsigned nSeq, int64_t nDeadlineUs, CReply<T>* pReply) {
    void* p = nullptr;
    HRESULT hr = m_wait.Await(m_pConn, nSeq, nDeadlineUs, &p);
    pReply->reset(static_cast<T*>(p));
    return FAILED(hr) ? Broken() : hr;
}

HRESULT CX11Source::Grab(int64_t nDeadlineUs, CScreenFrame* pFrame) {
    if (FAILED(m_hr) || m_bStopped || (!m_pConn && !m_bCut)) {
        return FAILED(m_hr) ? m_hr : DV_E_NO_DISPLAY;
    }
    if (!pFrame) {
        return E_POINTER;
    }
    if (m_bCut) {
        const HRESULT hr = Reconnect(nDeadlineUs);
        if (hr != S_OK) {
            return hr;
        }
    }
    // A grab taken up again after a late reply: the server answered after
    // the last call gave up, and the pixels are asked for from now on.
    if (m_eStep == EStep::kReplies || m_eStep == EStep::kPixels) {
        m_nGrabStartUs = MonotonicUs();
    }
    CX11Watchdog::CArmed armed(&m_watchdog, m_pConn, nDeadlineUs + kCutUs);
    for (bool bMayRetry = true;; bMayRetry = false) {
        if (m_eStep == EStep::kIdle) {
            if (!DrainEvents()) {
                return Broken();
            }
            if (m_nNewWidth != m_nWidth || m_nNewHeight != m_nHeight) {
                Resize(m_nNewWidth, m_nNewHeight);
            }
        }
        if (m_eStep == EStep::kAttach) {
            CReply<xcb_get_input_focus_reply_t> pSync;
            HRESULT hr = AwaitInGrab(m_nAttachSeq, nDeadlineUs, &pSync);
            if (hr != S_OK) {
                return hr;
            }
            m_image.Attached();
            m_eStep = EStep::kIdle;
        }
        if (m_eStep == EStep::kIdle) {
            Ask();
        }
        if (m_eStep == EStep::kReplies) {
            HRESULT hr = AwaitReplies(nDeadlineUs);
            if (hr != S_OK) {
                return hr;
            }
        }
        bool bRefused = false;
        if (m_eStep == EStep::kPixels) {
            HRESULT hr = m_image.Collect(&m_wait, nDeadlineUs, &bRefused);
            if (hr != S_OK) {
                return FAILED(hr) ? Broken() : hr;
            }
        }
        m_eStep = EStep::kIdle;
        if (!bRefused) {
            m_vMissed.clear();
            m_image.Check(&m_vMissed);
            m_nCheckRow += m_image.CheckRows();
            m_nCheckRow = m_nCheckRow < m_nHeight ? m_nCheckRow : 0;
            Deliver(m_bGrabWhole, pFrame);
            m_bWhole = false;
            return S_OK;
        }
        // The screen changed size under the fetch; its configure event came
        // before the refusal. Once more at the new size; after that the
        // picture as it stands is reported whole, and fetched whole next time.
        m_bWhole = true;
        if (!bMayRetry) {
            Deliver(true, pFrame);
            return S_OK;
        }
    }
}

// Sends a grab's first requests: the pointer's place, the cursor's image when
// it changed, and what was damaged (moved into the region and emptied in one
// request: what is drawn after it raises a new notification and is fetched
// next time).
void CX11Source::Ask() {
    // Before any pixel is fetched: fresh pixels under the cursor must win.
    m_cursor.Restore(m_image.Pixels(), m_image.Stride());
    if (m_nPointerSeq) {
        xcb_discard_reply(m_pConn, m_nPointerSeq);  // this grab asks afresh
        m_nPointerSeq = 0;
    }
    m_nGrabStartUs = MonotonicUs();
    m_nGrabPointerSeq = xcb_query_pointer(m_pConn, m_root).sequence;
    m_nCursorSeq = m_bCursorChanged ? xcb_xfixes_get_cursor_image(m_pConn).sequence : 0;
    m_image.RequestCheck(m_bWhole ? -1 : m_nCheckRow);
    m_nRegionSeq = 0;
    m_bGrabWhole = m_bWhole;
    if (m_bGrabWhole || (m_bDamaged && m_bDropDamage)) {
        xcb_damage_subtract(m_pConn, m_damage, XCB_NONE, XCB_NONE);
    } else if (m_bDamaged) {
        xcb_damage_subtract(m_pConn, m_damage, XCB_NONE, m_region);
        m_nRegionSeq = xcb_xfixes_fetch_region(m_pConn, m_region).sequence;
    }
    m_bDamaged = m_bCursorChanged = m_bPointerMoved = false;
    xcb_flush(m_pConn);
    m_wait.Sent();
    m_pPointer.reset();
    m_pCursor.reset();
    m_pRegion.reset();
    m_eStep = EStep::kReplies;
}

// Collects the replies to Ask()'s requests (those that came before a late
// one are kept), then asks for the pixels that changed.
HRESULT CX11Source::AwaitReplies(int64_t nDeadlineUs) {
    HRESULT hr = S_OK;
    if (m_nGrabPointerSeq) {
        if ((hr = AwaitInGrab(m_nGrabPointerSeq, nDeadlineUs, &m_pPointer)) != S_OK) {
            return hr;
        }
        m_nGrabPointerSeq = 0;
    }
    if (m_nCursorSeq) {
        if ((hr = AwaitInGrab(m_nCursorSeq, nDeadlineUs, &m_pCursor)) != S_OK) {
            return hr;
        }
        m_nCursorSeq = 0;
        if (m_pCursor) {
            m_cursor.SetImage(*m_pCursor);
        }
    }
    if (m_nRegionSeq) {
        if ((hr = AwaitInGrab(m_nRegionSeq, nDeadlineUs, &m_pRegion)) != S_OK) {
            return hr;
        }
        m_nRegionSeq = 0;
    }
    m_vDamage.clear();
    if (m_pRegion) {
        const xcb_rectangle_t* pRect = xcb_xfixes_fetch_region_rectangles(m_pRegion.get());
        int nRects = xcb_xfixes_fetch_region_rectangles_length(m_pRegion.get());
        for (int i = 0; i < nRects; ++i) {
            int x0 = std::max<int>(pRect[i].x, 0);
            int y0 = std::max<int>(pRect[i].y, 0);
            int x1 = std::min<int>(pRect[i].x + pRect[i].width, m_nWidth);
            int y1 = std::min<int>(pRect[i].y + pRect[i].height, m_nHeight);
            if (x1 > x0 && y1 > y0) {
                m_vDamage.push_back({static_cast<int16_t>(x0), static_cast<int16_t>(y0),
                                     static_cast<uint16_t>(x1 - x0),
                                     static_cast<uint16_t>(y1 - y0)});
            }
        }
    }
    if (m_bGrabWhole || !m_vDamage.empty()) {
        m_image.Request(&m_vDamage, m_bGrabWhole);
        m_wait.Sent();
    }
    if (m_image.Requested()) {
        m_eStep = EStep::kPixels;
    } else {
        m_eStep = EStep::kIdle;
    }
    return S_OK;
}

// Hands out the picture the grab brought in, with the cursor drawn into it.
void CX11Source::Deliver(bool bWhole, CScreenFrame* pFrame) {
    uint8_t* pPixels = m_image.Pixels();
    const int nStride = m_image.Stride();
    const int64_t nEndUs = MonotonicUs();
    pFrame->vChanged.clear();
    for (const xcb_rectangle_t& rc : m_vDamage) {
        pFrame->vChanged.push_back({rc.x, rc.y, rc.width, rc.height});
    }
    pFrame->vChanged.insert(pFrame->vChanged.end(), m_vMissed.begin(), m_vMissed.end());
    m_nPointerX = m_pPointer ? m_pPointer->root_x : -1;
    m_nPointerY = m_pPointer ? m_pPointer->root_y : -1;
    m_cursor.Draw(pPixels, nStride, m_nWidth, m_nHeight, m_nPointerX, m_nPointerY,
                  m_pPointer && m_pPointer->same_screen, &pFrame->vChanged);
    if (bWhole) {
        pFrame->vChanged.assign(1, {0, 0, m_nWidth, m_nHeight});
    }
    pFrame->pPixels = pPixels;
    pFrame->nStride = nStride;
    pFrame->nWidth = m_nWidth;
    pFrame->nHeight = m_nHeight;
    pFrame->nTimeUs = m_nGrabStartUs + (nEndUs - m_nGrabStartUs) / 2;
}

}  // namespace dvengine
