// The X11 screen source's state, shared by its two halves: X11Source.cc
// (connection, events, size changes) and X11Grab.cc (the grab's steps).
#pragma once

#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/core/ScreenSource.h"
#include "engine/linux/screen/X11Connect.h"
#include "engine/linux/screen/X11Cursor.h"
#include "engine/linux/screen/X11Image.h"
#include "plugin/deskvid/deskvid_status.h"

namespace dvengine {

// The screen of an X server: pixels through MIT-SHM (plain GetImage where the
// server cannot share memory with us), what changed through DAMAGE, the cursor
// through XFIXES, size changes through the root window's configure events.
//
// The picture handed out is the source's own full-screen buffer (the shared
// segment, or memory of ours without it). A grab asks the server only for the
// rows that changed: the damage is moved into a region and its rectangles
// fetched in one step, so nothing drawn in between is lost. Damage is not
// trusted alone (it goes missing with some drivers and compositors): each
// grab also fetches a band of rows afresh and compares it with the picture,
// the bands sweeping the whole screen in about a second, so a change no
// report told of is stale for at most that long. An idle screen costs one
// round trip a grab: the pointer's position and the band, asked together.
//
// A grab is a few steps of requests and their replies. A reply that has not
// come by the grab's deadline ends that grab with no picture (S_FALSE) and
// leaves its requests in flight: the next grab goes on from there, so what
// changed is reported then and nothing is lost. A server that another client
// holds grabbed, or that is stopped, is a gap of such grabs for as long as it
// lasts, however long. One that stops in the middle of a reply, which xcb
// would go on reading for good, is cut off by the watchdog armed around every
// call; the next grabs connect again (a gap too). Only a connection the
// server closes is a lost display.
class CX11Source final : public IScreenSource {
public:
    CX11Source(const char* pszDisplay, const CScreenOptions& options)
        : m_bDefault(!pszDisplay),
          m_strDisplay(pszDisplay ? pszDisplay : ""),
          m_nFpsTimes1000(std::max(options.nFpsTimes1000, 1)) {}
    ~CX11Source() override { Stop(); }

    HRESULT Start(int64_t nDeadlineUs) override;
    HRESULT Grab(int64_t nDeadlineUs, CScreenFrame* pFrame) override;
    bool WaitForChange(int64_t nDeadlineUs) override;
    void Stop() override;
    bool Stalled() override { return m_bCut || m_wait.Stalled(); }

    // For tests: from now on damage is dropped unread, as by a driver that
    // loses its reports.
    void DropDamageReports() { m_bDropDamage = true; }

private:
    // Where a grab stands: what it awaits.
    enum class EStep { kIdle, kAttach, kReplies, kPixels };

    // A reply, by the watchdog's cut-off at the latest, to a request of a
    // call whose deadline is nDeadlineUs.
    static constexpr int64_t kCutUs = 500000;

    // Connects and sets the connection up by nDeadlineUs: S_OK; DV_E_NO_DISPLAY
    // when the server refuses or does not answer; DV_E_BAD_INPUT for a screen
    // this source cannot read.
    HRESULT Connect(int64_t nDeadlineUs);
    // After the watchdog's cut: S_OK once connected again, S_FALSE while the
    // server does not answer.
    HRESULT Reconnect(int64_t nDeadlineUs);
    // Lets go of the connection and of everything tied to it.
    void Disconnect();
    // The connection broke: S_FALSE (a gap) when the watchdog cut it, the
    // next grab connecting again; a lost display when the server closed it.
    HRESULT Broken();
    // The reply to request nSeq (null with an X error); false when the
    // server has not answered by the deadline.
    template <typename T>
    bool Await(unsigned nSeq, int64_t nDeadlineUs, CReply<T>* pReply);
    // The same within a grab: S_FALSE when the reply is late (the request
    // stays in flight), as Broken() when the connection broke.
    template <typename T>
    HRESULT AwaitInGrab(unsigned nSeq, int64_t nDeadlineUs, CReply<T>* pReply);
    // False when the connection broke.
    bool DrainEvents();
    void Resize(int nWidth, int nHeight);
    void Ask();
    HRESULT AwaitReplies(int64_t nDeadlineUs);
    void Deliver(bool bWhole, CScreenFrame* pFrame);

    const bool m_bDefault;
    const std::string m_strDisplay;
    const int m_nFpsTimes1000;
    HRESULT m_hr = S_OK;
    bool m_bStopped = false;
    bool m_bCut = false;  // the watchdog cut the connection: connect again
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
    CReplyWait m_wait;
    CX11Watchdog m_watchdog;
    EStep m_eStep = EStep::kIdle;
    unsigned m_nAttachSeq = 0;

    // The grab under way: when it began, its requests and replies.
    int64_t m_nGrabStartUs = 0;
    bool m_bGrabWhole = false;
    unsigned m_nGrabPointerSeq = 0;
    unsigned m_nCursorSeq = 0;
    unsigned m_nRegionSeq = 0;
    CReply<xcb_query_pointer_reply_t> m_pPointer;
    CReply<xcb_xfixes_get_cursor_image_reply_t> m_pCursor;
    CReply<xcb_xfixes_fetch_region_reply_t> m_pRegion;

    bool m_bWhole = true;  // the next picture is fetched and reported whole
    bool m_bDamaged = false;
    bool m_bDropDamage = false;
    bool m_bCursorChanged = true;
    bool m_bPointerMoved = false;
    unsigned m_nPointerSeq = 0;  // a position query of WaitForChange() in flight
    int m_nPointerX = -1;
    int m_nPointerY = -1;
    std::vector<xcb_rectangle_t> m_vDamage;
    std::vector<CRect> m_vMissed;  // what the check found the reports missed
    int m_nCheckRow = 0;           // where the next grab's check begins
    CX11Cursor m_cursor;
};

}  // namespace dvengine
