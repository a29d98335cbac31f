// The desktop through GDI: the virtual screen (every monitor, origins that
// may be negative) copied into a DIB section of ours, the cursor drawn in,
// and what changed found by comparing tiles with the previous picture (GDI
// reports no damage).
#include "engine/windows/screen/GdiSource.h"

#include <windows.h>

#include <new>

#include "deskvid/deskvid_status.h"
#include "engine/core/TileDiff.h"
#include "engine/windows/screen/Desktop.h"

namespace dvengine {
namespace {

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
    CDibCanvas m_canvas;
    CTileDiff m_diff;
};

HRESULT CGdiSource::Grab(int64_t, CScreenFrame* pFrame) {
    CDpiScope dpi;
    const RECT rc = VirtualScreen();
    const int nWidth = rc.right - rc.left;
    const int nHeight = rc.bottom - rc.top;
    const int64_t nNow = MonotonicUs();
    bool bCopied = false;
    if (nWidth > 0 && nHeight > 0) {
        if (!m_canvas.Fit(nWidth, nHeight)) {
            return E_OUTOFMEMORY;
        }
        HDC hdcScreen = GetDC(nullptr);
        if (hdcScreen != nullptr) {
            bCopied = BitBlt(m_canvas.Dc(), 0, 0, nWidth, nHeight, hdcScreen, rc.left, rc.top,
                             SRCCOPY | CAPTUREBLT) != 0;
            ReleaseDC(nullptr, hdcScreen);
        }
    }
    // A desktop that cannot be copied (the secure desktop of a UAC prompt or
    // the lock screen, a session switched away, a display changing mode) is
    // a gap with the last picture, however long; every grab tries again.
    if (!bCopied) {
        return S_FALSE;
    }
    GdiFlush();
    m_canvas.DrawCursor(rc.left, rc.top);
    pFrame->pPixels = m_canvas.Pixels();
    pFrame->nStride = m_canvas.Stride();
    pFrame->nWidth = nWidth;
    pFrame->nHeight = nHeight;
    pFrame->nTimeUs = nNow;
    pFrame->vChanged.clear();
    m_diff.Compare(m_canvas.Pixels(), m_canvas.Stride(), nWidth, nHeight, &pFrame->vChanged);
    return S_OK;
}

}  // namespace

std::unique_ptr<IScreenSource> CreateGdiSource() {
    return std::unique_ptr<IScreenSource>(new (std::nothrow) CGdiSource);
}

}  // namespace dvengine
