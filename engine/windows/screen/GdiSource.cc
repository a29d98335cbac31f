// The desktop through GDI: the virtual screen (every monitor, origins that
// may be negative) copied into a DIB section of ours, the cursor drawn in,
// and what changed found by comparing tiles with the previous picture (GDI
// reports no damage).
#include "engine/windows/screen/GdiSource.h"

#include <windows.h>

#include <new>

#include "deskvid/deskvid_status.h"
#include "engine/core/TileDiff.h"

namespace dvengine {
namespace {

// A desktop that cannot be copied this long (the secure desktop, a session
// switched away) is lost; shorter gaps, as while a display changes mode, are
// waited out with the last picture.
constexpr int64_t kDarkLimitUs = 3000000;

// Makes the calling thread see physical pixels for as long as it lives, then
// gives the thread back its own awareness: grabs run on the host's thread as
// well as on the capture thread. Where the system has no per-thread
// awareness, coordinates are whatever the process's awareness gives.
class CDpiScope {
public:
    CDpiScope() {
        static const PFNSET s_pfnSet = reinterpret_cast<PFNSET>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext")));
        m_pfnSet = s_pfnSet;
        if (m_pfnSet != nullptr) {
            // Per-monitor aware (v2), else per-monitor aware.
            m_hOld = m_pfnSet(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-4)));
            if (m_hOld == nullptr) {
                m_hOld = m_pfnSet(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-3)));
            }
        }
    }
    ~CDpiScope() {
        if (m_hOld != nullptr) {
            m_pfnSet(m_hOld);
        }
    }
    CDpiScope(const CDpiScope&) = delete;
    CDpiScope& operator=(const CDpiScope&) = delete;

private:
    typedef HANDLE(WINAPI* PFNSET)(HANDLE);
    PFNSET m_pfnSet = nullptr;
    HANDLE m_hOld = nullptr;
};

RECT VirtualScreen() {
    RECT rc;
    rc.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    rc.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    rc.right = rc.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    rc.bottom = rc.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    return rc;
}

class CGdiSource final : public IScreenSource {
public:
    ~CGdiSource() override { Stop(); }

    HRESULT Start(int64_t) override {
        CDpiScope dpi;
        const RECT rc = VirtualScreen();
        HDC hdcScreen = GetDC(nullptr);
        if (hdcScreen == nullptr || rc.right <= rc.left || rc.bottom <= rc.top) {
            if (hdcScreen != nullptr) {
                ReleaseDC(nullptr, hdcScreen);
            }
            return DV_E_NO_DISPLAY;
        }
        ReleaseDC(nullptr, hdcScreen);
        m_hdc = CreateCompatibleDC(nullptr);
        return m_hdc != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT Grab(int64_t, CScreenFrame* pFrame) override;

    bool WaitForChange(int64_t nDeadlineUs) override {
        // GDI cannot tell: every grab compares.
        SleepUntil(nDeadlineUs);
        return false;
    }

    void Stop() override {
        FreeBitmap();
        if (m_hdc != nullptr) {
            DeleteDC(m_hdc);
            m_hdc = nullptr;
        }
    }

private:
    bool Fit(int nWidth, int nHeight);
    void FreeBitmap();
    void DrawCursor(const RECT& rcScreen);

    HRESULT m_hr = S_OK;
    HDC m_hdc = nullptr;
    HBITMAP m_hBitmap = nullptr;
    HGDIOBJ m_hOldBitmap = nullptr;
    uint8_t* m_pPixels = nullptr;
    int m_nWidth = 0;
    int m_nHeight = 0;
    int64_t m_nDarkSinceUs = 0;  // 0: the last grab succeeded
    CTileDiff m_diff;
};

// A DIB section of the screen's size, top-down, 32 bits a pixel.
bool CGdiSource::Fit(int nWidth, int nHeight) {
    if (m_hBitmap != nullptr && nWidth == m_nWidth && nHeight == m_nHeight) {
        return true;
    }
    FreeBitmap();
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = nWidth;
    bmi.bmiHeader.biHeight = -nHeight;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* pBits = nullptr;
    m_hBitmap = CreateDIBSection(m_hdc, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    if (m_hBitmap == nullptr || pBits == nullptr) {
        FreeBitmap();
        return false;
    }
    m_hOldBitmap = SelectObject(m_hdc, m_hBitmap);
    m_pPixels = static_cast<uint8_t*>(pBits);
    m_nWidth = nWidth;
    m_nHeight = nHeight;
    return true;
}

void CGdiSource::FreeBitmap() {
    if (m_hBitmap != nullptr) {
        SelectObject(m_hdc, m_hOldBitmap);
        DeleteObject(m_hBitmap);
    }
    m_hBitmap = nullptr;
    m_pPixels = nullptr;
    m_nWidth = 0;
    m_nHeight = 0;
}

// The cursor as the user sees it, at its hot spot.
void CGdiSource::DrawCursor(const RECT& rcScreen) {
    CURSORINFO ci = {};
    ci.cbSize = sizeof(ci);
    if (!GetCursorInfo(&ci) || (ci.flags & CURSOR_SHOWING) == 0 || ci.hCursor == nullptr) {
        return;
    }
    ICONINFO ii = {};
    if (!GetIconInfo(ci.hCursor, &ii)) {
        return;
    }
    DrawIconEx(m_hdc, ci.ptScreenPos.x - static_cast<int>(ii.xHotspot) - rcScreen.left,
               ci.ptScreenPos.y - static_cast<int>(ii.yHotspot) - rcScreen.top, ci.hCursor, 0, 0, 0,
               nullptr, DI_NORMAL);
    if (ii.hbmMask != nullptr) {
        DeleteObject(ii.hbmMask);
    }
    if (ii.hbmColor != nullptr) {
        DeleteObject(ii.hbmColor);
    }
}

HRESULT CGdiSource::Grab(int64_t, CScreenFrame* pFrame) {
    if (FAILED(m_hr) || m_hdc == nullptr) {
        return FAILED(m_hr) ? m_hr : DV_E_NO_DISPLAY;
    }
    CDpiScope dpi;
    const RECT rc = VirtualScreen();
    const int nWidth = rc.right - rc.left;
    const int nHeight = rc.bottom - rc.top;
    const int64_t nNow = MonotonicUs();
    bool bCopied = false;
    if (nWidth > 0 && nHeight > 0) {
        if (!Fit(nWidth, nHeight)) {
            return E_OUTOFMEMORY;
        }
        HDC hdcScreen = GetDC(nullptr);
        if (hdcScreen != nullptr) {
            bCopied = BitBlt(m_hdc, 0, 0, nWidth, nHeight, hdcScreen, rc.left, rc.top,
                             SRCCOPY | CAPTUREBLT) != 0;
            ReleaseDC(nullptr, hdcScreen);
        }
    }
    if (!bCopied) {
        if (m_nDarkSinceUs == 0) {
            m_nDarkSinceUs = nNow;
        } else if (nNow - m_nDarkSinceUs > kDarkLimitUs) {
            m_hr = DV_E_NO_DISPLAY;
            return m_hr;
        }
        return S_FALSE;
    }
    m_nDarkSinceUs = 0;
    GdiFlush();
    DrawCursor(rc);
    GdiFlush();
    pFrame->pPixels = m_pPixels;
    pFrame->nStride = nWidth * 4;
    pFrame->nWidth = nWidth;
    pFrame->nHeight = nHeight;
    pFrame->nTimeUs = nNow;
    pFrame->vChanged.clear();
    m_diff.Compare(m_pPixels, pFrame->nStride, nWidth, nHeight, &pFrame->vChanged);
    return S_OK;
}

}  // namespace

std::unique_ptr<IScreenSource> CreateDesktopSource(bool) {
    return std::unique_ptr<IScreenSource>(new (std::nothrow) CGdiSource);
}

}  // namespace dvengine
