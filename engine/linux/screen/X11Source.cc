#include "engine/linux/screen/X11Source.h"

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/linux/screen/X11Connect.h"
#include "engine/linux/screen/X11Cursor.h"
#include "engine/linux/screen/X11Image.h"
#include "plugin/deskvid/deskvid_status.h"

namespace dvengine {

namespace {

// How often WaitForChange() asks where the pointer is: moving it alone makes
// no event.
constexpr int64_t kPointerPollUs = 20000;

// The screen of an X server: pixels through MIT-SHM (plain GetImage where the
// server cannot share memory with us), what changed through DAMAGE, the cursor
// through XFIXES, size changes through the root window's configure events.
//
// The picture handed out is the source's own full-screen buffer (the shared
// segment, or memory of ours without it). A grab asks the server only for the
// rows that changed: the damage is moved into a region and its rectangles
// fetched in one step, so nothing drawn in between is lost; an idle screen
// costs one round trip for the pointer's position and no pixels.
class CX11Source final : public IScreenSource {
public:
    explicit CX11Source(const char* pszDisplay)
        : m_bDefault(!pszDisplay), m_strDisplay(pszDisplay ? pszDisplay : "") {}
    ~CX11Source() override { Stop(); }

    HRESULT Start(int64_t nDeadlineUs) override;
    HRESULT Grab(int64_t nDeadlineUs, CScreenFrame* pFrame) override;
    bool WaitForChange(int64_t nDeadlineUs) override;
    void Stop() override;

private:
    HRESULT Lose() {
        m_hr = DV_E_NO_DISPLAY;
        return m_hr;
    }
    // The reply to request nSeq (null with an X error); false when the
    // server has not answered by the deadline, and the display is lost.
    template <typename T>
    bool Await(unsigned nSeq, int64_t nDeadlineUs, CReply<T>* pReply);
    void DrainEvents();
    bool Resize(int nWidth, int nHeight, int64_t nDeadlineUs);
    HRESULT GrabOnce(int64_t nDeadlineUs, CScreenFrame* pFrame, bool bMayRetry);

    const bool m_bDefault;
    const std::string m_strDisplay;
    HRESULT m_hr = S_OK;
    bool m_bStopped = false;
    xcb_connection_t* m_pConn = nullptr;
    xcb_window_t m_root = 0;
    uint8_t m_nDamageEvent = 0;
    uint8_t m_nXfixesEvent = 0;
    bool m_bShmAvailable = false;
    xcb_damage_damage_t m_damage = 0;
    xcb_xfixes_region_t m_region = 0;

    int m_nWidth = 0;
    int m_nHeight = 0;
    int m_nNewWidth = 0;  // from the last configure event of the root
    int m_nNewHeight = 0;
    CX11Image m_image;

    bool m_bWhole = true;  // the next picture is fetched and reported whole
    bool m_bDamaged = false;
    bool m_bCursorChanged = true;
    bool m_bPointerMoved = false;
    unsigned m_nPointerSeq = 0;  // a position query of WaitForChange() in flight
    int m_nPointerX = -1;
    int m_nPointerY = -1;
    std::vector<xcb_rectangle_t> m_vDamage;
    CX11Cursor m_cursor;
};

template <typename T>
bool CX11Source::Await(unsigned nSeq, int64_t nDeadlineUs, CReply<T>* pReply) {
    void* p = nullptr;
    bool bAnswered = AwaitReply(m_pConn, nSeq, nDeadlineUs, &p);
    pReply->reset(static_cast<T*>(p));
    if (!bAnswered) {
        Lose();
    }
    return bAnswered;
}

HRESULT CX11Source::Start(int64_t nDeadlineUs) {
    if (m_pConn || m_bStopped || FAILED(m_hr)) {
        return E_UNEXPECTED;
    }
    int nScreen = 0;
    m_hr = ConnectX11(m_bDefault ? nullptr : m_strDisplay.c_str(), nDeadlineUs, &m_pConn, &nScreen);
    if (FAILED(m_hr)) {
        return m_hr;
    }
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
        return m_hr = DV_E_BAD_INPUT;
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
        return m_hr;
    }
    const xcb_query_extension_reply_t* pShm = xcb_get_extension_data(m_pConn, &xcb_shm_id);
    const xcb_query_extension_reply_t* pDamage = xcb_get_extension_data(m_pConn, &xcb_damage_id);
    const xcb_query_extension_reply_t* pXfixes = xcb_get_extension_data(m_pConn, &xcb_xfixes_id);
    if (!pDamage || !pDamage->present || !pXfixes || !pXfixes->present) {
        return m_hr = DV_E_BAD_INPUT;
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
        return m_hr;
    }
    // Regions (damage into a region, its rectangles) came with XFIXES 2.
    if (!pDamageVersion || !pXfixesVersion || pXfixesVersion->major_version < 2) {
        return m_hr = DV_E_BAD_INPUT;
    }
    m_bShmAvailable = pShmVersion != nullptr;

    m_region = xcb_generate_id(m_pConn);
    xcb_xfixes_create_region(m_pConn, m_region, 0, nullptr);
    xcb_xfixes_select_cursor_input(m_pConn, m_root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    uint32_t nMask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(m_pConn, m_root, XCB_CW_EVENT_MASK, &nMask);
    if (!Resize(pScreen->width_in_pixels, pScreen->height_in_pixels, nDeadlineUs)) {
        return m_hr;
    }
    return S_OK;
}

// A new picture size: a new buffer and a new damage object; the next
// picture is fetched whole.
bool CX11Source::Resize(int nWidth, int nHeight, int64_t nDeadlineUs) {
    m_nWidth = m_nNewWidth = nWidth;
    m_nHeight = m_nNewHeight = nHeight;
    if (!m_image.Allocate(m_pConn, m_root, m_bShmAvailable, nWidth, nHeight, nDeadlineUs)) {
        Lose();
        return false;
    }
    if (m_damage) {
        xcb_damage_destroy(m_pConn, m_damage);
    }
    m_damage = xcb_generate_id(m_pConn);
    xcb_damage_create(m_pConn, m_damage, m_root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    m_cursor.Forget();
    m_bWhole = true;
    return true;
}

// Notes what the server reported: damage, a new cursor image, a new size.
void CX11Source::DrainEvents() {
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
    if (xcb_connection_has_error(m_pConn)) {
        Lose();
    }
}

HRESULT CX11Source::Grab(int64_t nDeadlineUs, CScreenFrame* pFrame) {
    if (FAILED(m_hr) || !m_pConn) {
        return FAILED(m_hr) ? m_hr : DV_E_NO_DISPLAY;
    }
    if (!pFrame) {
        return E_POINTER;
    }
    return GrabOnce(nDeadlineUs, pFrame, true);
}

HRESULT CX11Source::GrabOnce(int64_t nDeadlineUs, CScreenFrame* pFrame, bool bMayRetry) {
    if (m_nPointerSeq) {
        CReply<xcb_query_pointer_reply_t> pStale;
        if (!Await(m_nPointerSeq, nDeadlineUs, &pStale)) {
            return m_hr;
        }
        m_nPointerSeq = 0;
    }
    if (DrainEvents(), FAILED(m_hr)) {
        return m_hr;
    }
    if ((m_nNewWidth != m_nWidth || m_nNewHeight != m_nHeight) &&
        !Resize(m_nNewWidth, m_nNewHeight, nDeadlineUs)) {
        return m_hr;
    }
    uint8_t* pPixels = m_image.Pixels();
    const int nStride = m_image.Stride();
    // Before any pixel is fetched: fresh pixels under the cursor must win.
    m_cursor.Restore(pPixels, nStride);

    int64_t nStartUs = MonotonicUs();
    unsigned nPointerSeq = xcb_query_pointer(m_pConn, m_root).sequence;
    unsigned nCursorSeq = m_bCursorChanged ? xcb_xfixes_get_cursor_image(m_pConn).sequence : 0;
    unsigned nRegionSeq = 0;
    bool bWhole = m_bWhole;
    if (bWhole) {
        xcb_damage_subtract(m_pConn, m_damage, XCB_NONE, XCB_NONE);
    } else if (m_bDamaged) {
        // Moved into the region and emptied in one request: what is drawn
        // after it raises a new notification and is fetched next time.
        xcb_damage_subtract(m_pConn, m_damage, XCB_NONE, m_region);
        nRegionSeq = xcb_xfixes_fetch_region(m_pConn, m_region).sequence;
    }
    m_bDamaged = m_bCursorChanged = m_bPointerMoved = false;
    xcb_flush(m_pConn);
    CReply<xcb_query_pointer_reply_t> pPointer;
    CReply<xcb_xfixes_get_cursor_image_reply_t> pCursor;
    CReply<xcb_xfixes_fetch_region_reply_t> pRegion;
    if (!Await(nPointerSeq, nDeadlineUs, &pPointer) ||
        (nCursorSeq && !Await(nCursorSeq, nDeadlineUs, &pCursor)) ||
        (nRegionSeq && !Await(nRegionSeq, nDeadlineUs, &pRegion))) {
        return m_hr;
    }
    if (pCursor && xcb_xfixes_get_cursor_image_cursor_image_length(pCursor.get()) >=
                       pCursor->width * pCursor->height) {
        m_cursor.SetImage(xcb_xfixes_get_cursor_image_cursor_image(pCursor.get()), pCursor->width,
                          pCursor->height, pCursor->xhot, pCursor->yhot);
    }
    m_vDamage.clear();
    if (pRegion) {
        const xcb_rectangle_t* pRect = xcb_xfixes_fetch_region_rectangles(pRegion.get());
        int nRects = xcb_xfixes_fetch_region_rectangles_length(pRegion.get());
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
    bool bRefused = false;
    if ((bWhole || !m_vDamage.empty()) &&
        !m_image.Fetch(&m_vDamage, bWhole, nDeadlineUs, &bRefused)) {
        return Lose();
    }
    if (bRefused) {
        // The screen changed size under the fetch; its configure event came
        // before the refusal. Once more at the new size; after that the
        // picture as it stands is reported whole, and fetched whole next time.
        m_bWhole = true;
        if (bMayRetry) {
            return GrabOnce(nDeadlineUs, pFrame, false);
        }
        bWhole = true;
    }
    int64_t nEndUs = MonotonicUs();

    pFrame->vChanged.clear();
    for (const xcb_rectangle_t& rc : m_vDamage) {
        pFrame->vChanged.push_back({rc.x, rc.y, rc.width, rc.height});
    }
    m_nPointerX = pPointer ? pPointer->root_x : -1;
    m_nPointerY = pPointer ? pPointer->root_y : -1;
    m_cursor.Draw(pPixels, nStride, m_nWidth, m_nHeight, m_nPointerX, m_nPointerY,
                  pPointer && pPointer->same_screen, &pFrame->vChanged);
    if (bWhole) {
        pFrame->vChanged.assign(1, {0, 0, m_nWidth, m_nHeight});
    }
    m_bWhole = bRefused;
    pFrame->pPixels = pPixels;
    pFrame->nStride = nStride;
    pFrame->nWidth = m_nWidth;
    pFrame->nHeight = m_nHeight;
    pFrame->nTimeUs = nStartUs + (nEndUs - nStartUs) / 2;
    return S_OK;
}

bool CX11Source::WaitForChange(int64_t nDeadlineUs) {
    if (FAILED(m_hr)) {
        return true;  // the next Grab() says what happened
    }
    if (!m_pConn) {
        return false;
    }
    int64_t nNextPointerUs = MonotonicUs() + kPointerPollUs;
    for (;;) {
        if (DrainEvents(), FAILED(m_hr)) {
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
        // and the next Grab() collects it under its own deadline.
        if (!m_nPointerSeq && nNowUs >= nNextPointerUs) {
            m_nPointerSeq = xcb_query_pointer(m_pConn, m_root).sequence;
            xcb_flush(m_pConn);
            nNextPointerUs = nNowUs + kPointerPollUs;
        }
        WaitReadable(m_pConn, m_nPointerSeq ? nDeadlineUs : std::min(nDeadlineUs, nNextPointerUs));
    }
}

// Nothing is sent: closing the connection makes the server drop the damage,
// the region and its side of the shared segment, and a server that does not
// answer cannot hold this up.
void CX11Source::Stop() {
    if (m_pConn) {
        xcb_disconnect(m_pConn);
        m_pConn = nullptr;
        m_bStopped = true;
    }
    m_image.Release();
}

}  // namespace

std::unique_ptr<IScreenSource> CreateX11Source(const char* pszDisplay) {
    return std::unique_ptr<IScreenSource>(new (std::nothrow) CX11Source(pszDisplay));
}

}  // namespace dvengine
