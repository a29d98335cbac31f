// What the session asks of a screen: a picture of the whole screen when it
// wants one, with the rectangles that changed since the picture before it.
// One implementation per way of reaching the screen (X11, the ScreenCast
// portal with PipeWire, a synthetic pattern for tests); the session knows
// only this interface and never waits on a server without a deadline.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/Clock.h"
#include "port/port.h"

namespace dvengine {

struct CRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
    bool operator==(const CRect& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};

// A picture of the screen, owned by the source: valid until the next
// Grab() or Stop() of the same source.
struct CScreenFrame {
    const uint8_t* pPixels = nullptr;  // B, G, R, x bytes per pixel
    int nStride = 0;                   // bytes per row
    int nWidth = 0;
    int nHeight = 0;
    int64_t nTimeUs = 0;  // when it was taken, on MonotonicUs()'s clock
    // What changed since the previous frame this source delivered, clipped
    // to the screen; the whole screen on the first frame and after a size
    // change. Empty: nothing changed, and the pixels are those of the
    // previous frame.
    std::vector<CRect> vChanged;
};

// What the session wants of its screen source, beyond the screen itself.
struct CScreenOptions {
    // The recording's frame rate: a source that can ask its server for no
    // more pictures than that does, since more would only be thrown away.
    int nFpsTimes1000 = 30000;
};

class IScreenSource {
public:
    virtual ~IScreenSource() = default;

    // Connects to the screen. S_OK, or DV_E_NO_DISPLAY (or a more precise
    // DV_E_ status) by nDeadlineUs at the latest; a source that must first
    // have the user's consent (the portal's question) waits for the answer
    // on a bound of its own, however long past nDeadlineUs the person takes.
    // The first picture may come after Start() returned: a wait for it
    // counts from then. Nothing else may be called after a failed Start()
    // but the destructor.
    virtual HRESULT Start(int64_t nDeadlineUs) = 0;

    // The screen's size while Grab() has no picture yet, when the source
    // knows it (a stream whose format is agreed, on a still screen that has
    // sent nothing): true with the size. A source whose first picture comes
    // with its start need not tell.
    virtual bool Size(int* /*pnWidth*/, int* /*pnHeight*/) { return false; }

    // The screen as it is now. S_OK with *pFrame filled; S_FALSE when the
    // source has no picture this time, *pFrame untouched: a stream whose
    // first frame has not come, a server late to answer or silent (grabbed
    // by another client, stopped, showing a desktop we may not read), which
    // is a gap however long it lasts: the source keeps trying, and what
    // changed comes with a later picture. DV_E_NO_DISPLAY (or a more precise
    // DV_E_ status) only when the screen is gone for good (the server closed
    // the connection, the user ended the share), after which every later
    // call fails the same way. Returns by nDeadlineUs, or a short bound past
    // it for a server that stops in the middle of an answer.
    virtual HRESULT Grab(int64_t nDeadlineUs, CScreenFrame* pFrame) = 0;

    // True while the server has not answered for about a second (the last
    // Grab() had no picture for that reason): a gap for now, and a screen
    // still gone if the recording stops meanwhile. A source that cannot tell
    // says false.
    virtual bool Stalled() { return false; }

    // Waits until the screen may have changed since the last Grab(), or
    // until nDeadlineUs. True when something arrived; false at the deadline.
    // A source that cannot tell returns at the deadline.
    virtual bool WaitForChange(int64_t nDeadlineUs) = 0;

    // Disconnects; idempotent, never blocks past a short bound of its own.
    virtual void Stop() = 0;
};

// The screen source for the session, as DESKVID_SCREEN chooses:
// "synthetic[:options]" for tests, anything else the platform's choice (see
// CreatePlatformScreenSource). Never null: a source that cannot be made is
// one whose Start() answers DV_E_NO_DISPLAY.
std::unique_ptr<IScreenSource> CreateScreenSource(const CScreenOptions& options);

// The platform's source for a DESKVID_SCREEN choice (empty: the platform's
// default); null for a choice it does not know, which is no screen rather
// than some other one. Linux: "x11", "portal", by default the portal on
// Wayland (WAYLAND_DISPLAY set or XDG_SESSION_TYPE=wayland), X11 otherwise.
// Windows: "gdi", by default DXGI Desktop Duplication falling back to GDI.
std::unique_ptr<IScreenSource> CreatePlatformScreenSource(const std::string& strChoice,
                                                          const CScreenOptions& options);

}  // namespace dvengine
