// What the desktop's screen sources share: the virtual screen's rectangle,
// physical pixels on the calling thread, and a canvas to draw pictures on.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace dvengine {

// Every monitor's bounding box, in physical pixels (within a CDpiScope);
// its origin may be negative.
RECT VirtualScreen();

// Makes the calling thread see physical pixels while it lives, then gives
// the thread back its own awareness: grabs run on the host's thread as well
// as on the capture thread. Where the system has no per-thread awareness,
// coordinates are whatever the process's awareness gives.
class CDpiScope {
public:
    CDpiScope();
    ~CDpiScope();
    CDpiScope(const CDpiScope&) = delete;
    CDpiScope& operator=(const CDpiScope&) = delete;

private:
    HANDLE m_hOld = nullptr;
};

// A picture of the desktop in a DIB section of ours (top-down, 4 bytes a
// pixel: B, G, R, x), with a memory DC over it so that GDI can copy the
// screen into it and draw the cursor on it.
class CDibCanvas {
public:
    CDibCanvas() = default;
    ~CDibCanvas() { Free(); }
    CDibCanvas(const CDibCanvas&) = delete;
    CDibCanvas& operator=(const CDibCanvas&) = delete;

    // Makes the canvas nWidth x nHeight (a new, undefined picture when the
    // size changes). False when the system cannot give one.
    bool Fit(int nWidth, int nHeight);
    void Free();

    HDC Dc() const { return m_hdc; }
    uint8_t* Pixels() const { return m_pPixels; }
    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    int Stride() const { return m_nWidth * 4; }

private:
    HDC m_hdc = nullptr;
    HBITMAP m_hBitmap = nullptr;
    HGDIOBJ m_hOldBitmap = nullptr;
    uint8_t* m_pPixels = nullptr;
    int m_nWidth = 0;
    int m_nHeight = 0;
};

// The cursor drawn on a canvas, with the canvas's pixels it covers: a canvas
// whose rows are fetched anew only in part must show the desktop alone
// again before the cursor is drawn on it once more (a cursor drawn over
// itself changes: its shadow darkens, its inverted parts turn back).
class CCanvasCursor {
public:
    // Asks the system where the cursor is and how it looks; true when that
    // differs from what was drawn last.
    bool Update();

    // Puts back the pixels the cursor drawn last covered.
    void Lift(CDibCanvas* pCanvas);

    // Draws the cursor as Update() found it, at its hot spot, keeping what
    // it covers; the canvas's top left corner is at (nLeft, nTop) of the
    // virtual screen.
    void Draw(CDibCanvas* pCanvas, int nLeft, int nTop);

    // Where the cursor was drawn last, on the canvas (empty: nowhere).
    const RECT& Drawn() const { return m_rcDrawn; }

    // The canvas was made anew: the cursor covers nothing of it.
    void Forget() { m_rcDrawn = RECT{}; }

private:
    CURSORINFO m_ci = {};       // as Update() found it
    CURSORINFO m_ciDrawn = {};  // as drawn last
    RECT m_rcDrawn = {};
    std::vector<uint8_t> m_vUnder;  // the pixels of m_rcDrawn, rows packed
};

}  // namespace dvengine
