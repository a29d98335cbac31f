// The desktop through GDI: the virtual screen (every monitor, origins that
// may be negative) copied into a DIB section of ours, the cursor drawn in,
// and what changed found by comparing tiles with the previous picture (GDI
// reports no damage).
//
// Copying the whole screen every slot costs most of a recording's CPU when
// nothing moves, so a still screen is only watched: each grab copies a band
// of rows that sweeps the screen once every kSweepUs, and asks where the
// cursor is and how it looks. A change in the band, or of the cursor, brings
// back a whole copy at once (in the same grab, so its picture is whole), and
// a whole copy every grab until the screen has been still for kQuietUs.
#include "engine/windows/screen/GdiSource.h"

#include <windows.h>

#include <algorithm>
#include <new>
#include <vector>

#include "deskvid/deskvid_status.h"
#include "engine/core/TileDiff.h"
#include "engine/windows/screen/Desktop.h"

namespace dvengine {
namespace {

// While the screen is watched, any change is seen by the first grab that
// begins this long after it at the latest, wherever it is: the band passes
// every row once in this long.
constexpr int64_t kSweepUs = 250000;
// How long the screen must be still before it is only watched.
constexpr int64_t kQuietUs = 500000;
// The most a single copy from the screen brings. Under Wine each copy is a
// round trip to the X server, and a large one costs more per pixel again
// (1280x720 idle at 20 frames a second: pieces of 24 or 48 rows take half
// the CPU that pieces of 8 or 144 rows take).
constexpr int kPieceBytes = 128 * 1024;

class CGdiSource final : public IScreenSource {
public:
    ~CGdiSource() override { Stop(); }

    HRESULT Start(int64_t) override {
        CDpiScope dpi;
        const RECT rc = VirtualScreen();
        HDC hdcScreen = GetDC(nullptr);
        if (hdcScreen != nullptr) {
            ReleaseDC(nullptr, hdcScreen);
        }
        return hdcScreen != nullptr && rc.right > rc.left && rc.bottom > rc.top ? S_OK
                                                                                : DV_E_NO_DISPLAY;
    }

    HRESULT Grab(int64_t, CScreenFrame* pFrame) override;

    bool WaitForChange(int64_t nDeadlineUs) override {
        // GDI cannot tell: every grab compares.
        SleepUntil(nDeadlineUs);
        return false;
    }

    void Stop() override { m_canvas.Free(); }

private:
    RECT Screen(int64_t nNow);
    bool Copy(HDC hdcScreen, const RECT& rc, int64_t nNow);
    bool Fetch(HDC hdcScreen, const RECT& rc, int nFrom, int nTo);

    CDibCanvas m_canvas;
    CTileDiff m_diff;
    CCanvasCursor m_cursor;
    bool m_bWhole = true;      // the next copy is of the whole screen
    int64_t m_nCopiedUs = 0;   // when the last copy was made
    int64_t m_nChangedUs = 0;  // when a copy last found a change
    int m_nSweepRow = 0;       // where the band starts next
    RECT m_rcScreen = {};      // the virtual screen, as last asked
    int64_t m_nScreenUs = 0;   // when it was asked
    // What changed and has not been delivered yet (a copy that failed
    // half-way may have found some).
    std::vector<CRect> m_vChanged;
};

// The virtual screen. Wine answers each of its four numbers with three
// server round trips: while the screen is only watched it is asked once a
// sweep, and a change of its size waits that long.
RECT CGdiSource::Screen(int64_t nNow) {
    if (m_bWhole || nNow - m_nChangedUs < kQuietUs || nNow - m_nScreenUs >= kSweepUs) {
        m_rcScreen = VirtualScreen();
        m_nScreenUs = nNow;
    }
    return m_rcScreen;
}

// Copies the rows [nFrom, nTo) of the screen into the canvas, a piece at a
// time.
bool CGdiSource::Fetch(HDC hdcScreen, const RECT& rc, int nFrom, int nTo) {
    const int nWidth = m_canvas.Width();
    const int nPiece = (std::max)(kPieceBytes / (nWidth * 4), 1);
    bool bCopied = true;
    for (int y = nFrom; y < nTo && bCopied; y += nPiece) {
        bCopied = BitBlt(m_canvas.Dc(), 0, y, nWidth, (std::min)(nPiece, nTo - y), hdcScreen,
                         rc.left, rc.top + y, SRCCOPY | CAPTUREBLT) != 0;
    }
    return bCopied;
}

// Copies what this grab needs of the screen into the canvas (rc on the
// virtual screen) and adds what changed to m_vChanged.
bool CGdiSource::Copy(HDC hdcScreen, const RECT& rc, int64_t nNow) {
    const int nWidth = m_canvas.Width();
    const int nHeight = m_canvas.Height();
    const bool bCursorChanged = m_cursor.Update();
    const size_t nBefore = m_vChanged.size();
    bool bWhole = m_bWhole || bCursorChanged || nNow - m_nChangedUs < kQuietUs;
    if (!bWhole) {
        // The band: rows for the time since the last copy, whole tiles, so
        // that it passes every row at least once in kSweepUs; it wraps
        // round at the bottom.
        const int64_t nRows = (int64_t{nHeight} * (nNow - m_nCopiedUs) + kSweepUs - 1) / kSweepUs;
        const int64_t nTiles = (nRows + CTileDiff::kTile - 1) / CTileDiff::kTile;
        const int nBand = static_cast<int>((std::min)(nTiles * CTileDiff::kTile, int64_t{nHeight}));
        const int nFrom = (std::min)(m_nSweepRow, nHeight);
        const int nWrap = (std::max)(nFrom + nBand - nHeight, 0);
        const RECT& rcCursor = m_cursor.Drawn();
        const bool bUnder =
            rcCursor.bottom > rcCursor.top &&
            ((rcCursor.top < nFrom + nBand && rcCursor.bottom > nFrom) || rcCursor.top < nWrap);
        if (bUnder) {
            m_cursor.Lift(&m_canvas);
        }
        const bool bCopied =
            Fetch(hdcScreen, rc, nFrom, nFrom + nBand - nWrap) && Fetch(hdcScreen, rc, 0, nWrap);
        if (bUnder) {
            GdiFlush();
            m_cursor.Draw(&m_canvas, rc.left, rc.top);
        }
        if (!bCopied) {
            m_bWhole = true;
            return false;
        }
        GdiFlush();
        m_diff.Compare(m_canvas.Pixels(), m_canvas.Stride(), nWidth, nHeight, nFrom,
                       nFrom + nBand - nWrap, &m_vChanged);
        m_diff.Compare(m_canvas.Pixels(), m_canvas.Stride(), nWidth, nHeight, 0, nWrap,
                       &m_vChanged);
        m_nSweepRow = nWrap > 0 ? nWrap : nFrom + nBand;
        bWhole = m_vChanged.size() > nBefore;
    }
    if (bWhole) {
        m_cursor.Lift(&m_canvas);
        const bool bCopied = Fetch(hdcScreen, rc, 0, nHeight);
        GdiFlush();
        m_cursor.Draw(&m_canvas, rc.left, rc.top);
        if (!bCopied) {
            m_bWhole = true;
            return false;
        }
        m_diff.Compare(m_canvas.Pixels(), m_canvas.Stride(), nWidth, nHeight, &m_vChanged);
    }
    if (m_bWhole || bCursorChanged || m_vChanged.size() > nBefore) {
        m_nChangedUs = nNow;
    }
    m_bWhole = false;
    m_nCopiedUs = nNow;
    return true;
}

HRESULT CGdiSource::Grab(int64_t, CScreenFrame* pFrame) {
    CDpiScope dpi;
    const int64_t nNow = MonotonicUs();
    const RECT rc = Screen(nNow);
    const int nWidth = rc.right - rc.left;
    const int nHeight = rc.bottom - rc.top;
    bool bCopied = false;
    if (nWidth > 0 && nHeight > 0) {
        if (nWidth != m_canvas.Width() || nHeight != m_canvas.Height()) {
            m_cursor.Forget();  // a new canvas
            m_bWhole = true;
        }
        if (!m_canvas.Fit(nWidth, nHeight)) {
            return E_OUTOFMEMORY;
        }
        HDC hdcScreen = GetDC(nullptr);
        if (hdcScreen != nullptr) {
            HRESULT hr = S_OK;
            try {
                bCopied = Copy(hdcScreen, rc, nNow);
            } catch (const std::bad_alloc&) {
                hr = E_OUTOFMEMORY;  // no room for what changed
            }
            ReleaseDC(nullptr, hdcScreen);
            if (FAILED(hr)) {
                return hr;
            }
        }
    }
    // A desktop that cannot be copied (the secure desktop of a UAC prompt or
    // the lock screen, a session switched away, a display changing mode) is
    // a gap with the last picture, however long; every grab tries again.
    if (!bCopied) {
        return S_FALSE;
    }
    pFrame->pPixels = m_canvas.Pixels();
    pFrame->nStride = m_canvas.Stride();
    pFrame->nWidth = nWidth;
    pFrame->nHeight = nHeight;
    pFrame->nTimeUs = nNow;
    pFrame->vChanged.clear();
    pFrame->vChanged.swap(m_vChanged);
    return S_OK;
}

}  // namespace

std::unique_ptr<IScreenSource> CreateGdiSource() {
    return std::unique_ptr<IScreenSource>(new (std::nothrow) CGdiSource);
}

}  // namespace dvengine
