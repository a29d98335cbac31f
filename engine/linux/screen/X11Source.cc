#include "engine/linux/screen/X11Source.h"

#include <xcb/xcbext.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

#include "engine/core/TileDiff.h"
#include "engine/linux/screen/X11Screen.h"

namespace dvengine {

namespace {

// How often WaitForChange() asks where the pointer is: moving it alone makes
// no event.
constexpr int64_t kPointerPollUs = 20000;

// How long the check takes to sweep the whole screen.
constexpr int64_t kCheckSweepUs = 1000000;

}  // namespace

template <typename T>
bool CX11Source::Await(unsigned nSeq, int64_t nDeadlineUs, CReply<T>* pReply) {
    void* p = nullptr;
    bool bAnswered = AwaitReply(m_pConn, nSeq, nDeadlineUs, &p);
    pReply->reset(static_cast<T*>(p));
    return bAnswered;
}

HRESULT CX11Source::Start(int64_t nDeadlineUs) {
    if (m_pConn || m_bStopped || FAILED(m_hr)) {
        return E_UNEXPECTED;
    }
    if (!m_watchdog.Start()) {
        return m_hr = E_OUTOFMEMORY;
    }
    return m_hr = Connect(nDeadlineUs);
}

HRESULT CX11Source::Connect(int64_t nDeadlineUs) {
    int nScreen = 0;
    const HRESULT hr =
        ConnectX11(m_bDefault ? nullptr : m_strDisplay.c_str(), nDeadlineUs, &m_pConn, &nScreen);
    if (FAILED(hr)) {
        return hr;
    }
    CX11Watchdog::CArmed armed(&m_watchdog, m_pConn, nDeadlineUs);
    const xcb_setup_t* pSetup = xcb_get_setup(m_pConn);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(pSetup);
    for (int i = 0; i < nScreen; ++i) {
        xcb_screen_next(&it);
    }
    const xcb_screen_t* pScreen = it.data;
    m_root = pScreen->root;

    // Pixels are B, G, R, x in memory only with 32 bits per pixel, the low
    // byte first and the usual true-colour masks.
    bool bBgrx = pSetup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    int nBpp = 0;
    for (auto f = xcb_setup_pixmap_formats_iterator(pSetup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == pScreen->root_depth) {
            nBpp = f.data->bits_per_pixel;
        }
    }
    for (auto d = xcb_screen_allowed_depths_iterator(pScreen); d.rem; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == pScreen->root_visual) {
                bBgrx = bBgrx && v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 &&
                        v.data->blue_mask == 0xff;
            }
        }
    }
    if (!bBgrx || nBpp != 32) {
        return DV_E_BAD_INPUT;
    }

    // The extensions' opcodes are asked for without waiting, and a round trip
    // behind them brings their answers in: after it xcb never blocks for them.
    xcb_prefetch_extension_data(m_pConn, &xcb_shm_id);
    xcb_prefetch_extension_data(m_pConn, &xcb_damage_id);
    xcb_prefetch_extension_data(m_pConn, &xcb_xfixes_id);
    unsigned nFocusSeq = xcb_get_input_focus(m_pConn).sequence;
    xcb_flush(m_pConn);
    CReply<xcb_get_input_focus_reply_t> pFocus;
    if (!Await(nFocusSeq, nDeadlineUs, &pFocus)) {
        return DV_E_NO_DISPLAY;
    }
    const xcb_query_extension_reply_t* pShm = xcb_get_extension_data(m_pConn, &xcb_shm_id);
    const xcb_query_extension_reply_t* pDamage = xcb_get_extension_data(m_pConn, &xcb_damage_id);
    const xcb_query_extension_reply_t* pXfixes = xcb_get_extension_data(m_pConn, &xcb_xfixes_id);
    if (!pDamage || !pDamage->present || !pXfixes || !pXfixes->present) {
        return DV_E_BAD_INPUT;
    }
    m_nDamageEvent = pDamage->first_event;
    m_nXfixesEvent = pXfixes->first_event;
    unsigned nShmSeq = 0;
    if (pShm && pShm->present) {
        nShmSeq = xcb_shm_query_version(m_pConn).sequence;
    }
    unsigned nDamageSeq = xcb_damage_query_version(m_pConn, 1, 1).sequence;
    unsigned nXfixesSeq = xcb_xfixes_query_version(m_pConn, 4, 0).sequence;
    xcb_flush(m_pConn);
    CReply<xcb_shm_query_version_reply_t> pShmVersion;
    CReply<xcb_damage_query_version_reply_t> pDamageVersion;
    CReply<xcb_xfixes_query_version_reply_t> pXfixesVersion;
    if ((nShmSeq && !Await(nShmSeq, nDeadlineUs, &pShmVersion)) ||
        !Await(nDamageSeq, nDeadlineUs, &pDamageVersion) ||
        !Await(nXfixesSeq, nDeadlineUs, &pXfixesVersion)) {
        return DV_E_NO_DISPLAY;
    }
    // Regions (damage into a region, its rectangles) came with XFIXES 2.
    if (!pDamageVersion || !pXfixesVersion || pXfixesVersion->major_version < 2) {
        return DV_E_BAD_INPUT;
    }
    m_bShmAvailable = pShmVersion != nullptr;

    m_region = xcb_generate_id(m_pConn);
    xcb_xfixes_create_region(m_pConn, m_region, 0, nullptr);
    xcb_xfixes_select_cursor_input(m_pConn, m_root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    uint32_t nMask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(m_pConn, m_root, XCB_CW_EVENT_MASK, &nMask);
    Resize(pScreen->width_in_pixels, pScreen->height_in_pixels);
    if (m_eStep == EStep::kAttach) {
        CReply<xcb_get_input_focus_reply_t> pSync;
        if (!Await(m_nAttachSeq, nDeadlineUs, &pSync)) {
            return DV_E_NO_DISPLAY;
        }
        m_image.Attached();
        m_eStep = EStep::kIdle;
    }
    return S_OK;
}

HRESULT CX11Source::Reconnect(int64_t nDeadlineUs) {
    const HRESULT hr = Connect(nDeadlineUs);
    if (SUCCEEDED(hr)) {
        m_bCut = false;
        return S_OK;
    }
    Disconnect();
    if (hr == DV_E_NO_DISPLAY) {
        return S_FALSE;  // not answering yet
    }
    return m_hr = hr;
}

// Nothing is sent: closing the connection makes the server drop the damage,
// the region and its side of the shared segment, and a server that does not
// answer cannot hold this up. What was asked and not answered is forgotten;
// the next picture is fetched whole.
void CX11Source::Disconnect() {
    if (m_pConn) {
        xcb_disconnect(m_pConn);
        m_pConn = nullptr;
    }
    m_image.Release();
    m_watchdog.Fired();
    m_wait = CReplyWait();
    m_damage = m_region = 0;
    m_eStep = EStep::kIdle;
    m_nAttachSeq = m_nGrabPointerSeq = m_nCursorSeq = m_nRegionSeq = m_nPointerSeq = 0;
    m_pPointer.reset();
    m_pCursor.reset();
    m_pRegion.reset();
    m_bDamaged = m_bPointerMoved = false;
    m_bCursorChanged = true;
}

HRESULT CX11Source::Broken() {
    if (m_watchdog.Fired()) {
        Disconnect();
        m_bCut = true;
        return S_FALSE;
    }
    m_hr = DV_E_NO_DISPLAY;
    return m_hr;
}

// A new picture size: a new buffer and a new damage object; the next
// picture is fetched whole. Awaits the server's answer to the offer of a
// shared buffer (EStep::kAttach) when one was made.
void CX11Source::Resize(int nWidth, int nHeight) {
    m_nWidth = m_nNewWidth = nWidth;
    m_nHeight = m_nNewHeight = nHeight;
    // The rows a grab checks, whole tiles, for a sweep of kCheckSweepUs at
    // the recording's frame rate.
    const int64_t nRows = int64_t{nHeight} * 1000000 * 1000 / (kCheckSweepUs * m_nFpsTimes1000) + 1;
    const int nCheckRows = static_cast<int>(std::min<int64_t>(
        (nRows + CTileDiff::kTile - 1) / CTileDiff::kTile * CTileDiff::kTile, nHeight));
    m_nCheckRow = 0;
    m_nAttachSeq = m_image.Allocate(m_pConn, m_root, m_bShmAvailable, nWidth, nHeight, nCheckRows);
    if (m_nAttachSeq) {
        m_wait.Sent();
        m_eStep = EStep::kAttach;
    }
    if (m_damage) {
        xcb_damage_destroy(m_pConn, m_damage);
    }
    m_damage = xcb_generate_id(m_pConn);
    xcb_damage_create(m_pConn, m_damage, m_root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    m_cursor.Forget();
    m_bWhole = true;
}

// Notes what the server reported: damage, a new cursor image, a new size.
bool CX11Source::DrainEvents() {
    while (xcb_generic_event_t* pEvent = xcb_poll_for_event(m_pConn)) {
        uint8_t nType = pEvent->response_type & 0x7f;
        bool bSent = (pEvent->response_type & 0x80) != 0;
        if (nType == m_nDamageEvent + XCB_DAMAGE_NOTIFY) {
            m_bDamaged = true;
        } else if (nType == m_nXfixesEvent + XCB_XFIXES_CURSOR_NOTIFY) {
            m_bCursorChanged = true;
        } else if (nType == XCB_CONFIGURE_NOTIFY && !bSent) {
            auto* pConfigure = reinterpret_cast<xcb_configure_notify_event_t*>(pEvent);
            if (pConfigure->window == m_root) {
                m_nNewWidth = pConfigure->width;
                m_nNewHeight = pConfigure->height;
            }
        }
        free(pEvent);
    }
    return !xcb_connection_has_error(m_pConn);
}

bool CX11Source::WaitForChange(int64_t nDeadlineUs) {
    if (FAILED(m_hr) || m_eStep != EStep::kIdle || m_bCut) {
        return true;  // the next Grab() says what happened, goes on, or connects
    }
    if (!m_pConn) {
        return false;
    }
    CX11Watchdog::CArmed armed(&m_watchdog, m_pConn, nDeadlineUs + kCutUs);
    int64_t nNextPointerUs = MonotonicUs() + kPointerPollUs;
    for (;;) {
        if (!DrainEvents()) {
            return true;
        }
        if (m_bDamaged || m_bCursorChanged || m_bPointerMoved || m_nNewWidth != m_nWidth ||
            m_nNewHeight != m_nHeight) {
            return true;
        }
        if (m_nPointerSeq) {
            void* p = nullptr;
            xcb_generic_error_t* pError = nullptr;
            if (xcb_poll_for_reply(m_pConn, m_nPointerSeq, &p, &pError)) {
                auto* pPointer = static_cast<xcb_query_pointer_reply_t*>(p);
                m_bPointerMoved = pPointer && (pPointer->root_x != m_nPointerX ||
                                               pPointer->root_y != m_nPointerY);
                m_nPointerSeq = 0;
                free(p);
                free(pError);
                continue;
            }
        }
        int64_t nNowUs = MonotonicUs();
        if (nNowUs >= nDeadlineUs) {
            return false;
        }
        // A slow answer is not a lost display here: the query stays in flight
        // until the next Grab(), which asks afresh.
        if (!m_nPointerSeq && nNowUs >= nNextPointerUs) {
            m_nPointerSeq = xcb_query_pointer(m_pConn, m_root).sequence;
            xcb_flush(m_pConn);
            nNextPointerUs = nNowUs + kPointerPollUs;
        }
        WaitReadable(m_pConn, m_nPointerSeq ? nDeadlineUs : std::min(nDeadlineUs, nNextPointerUs));
    }
}

void CX11Source::Stop() {
    m_watchdog.Stop();
    Disconnect();
    m_bStopped = true;
}

std::unique_ptr<IScreenSource> CreateX11Source(const char* pszDisplay,
                                               const CScreenOptions& options) {
    return std::unique_ptr<IScreenSource>(new (std::nothrow) CX11Source(pszDisplay, options));
}

}  // namespace dvengine
