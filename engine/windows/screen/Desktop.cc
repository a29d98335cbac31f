#include "engine/windows/screen/Desktop.h"

#include <cstdint>

namespace dvengine {
namespace {

typedef HANDLE(WINAPI* PFNSETTHREADDPI)(HANDLE);

PFNSETTHREADDPI SetThreadDpi() {
    static const PFNSETTHREADDPI s_pfn = reinterpret_cast<PFNSETTHREADDPI>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext")));
    return s_pfn;
}

}  // namespace

RECT VirtualScreen() {
    RECT rc;
    rc.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    rc.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    rc.right = rc.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    rc.bottom = rc.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    return rc;
}

CDpiScope::CDpiScope() {
    if (const PFNSETTHREADDPI pfnSet = SetThreadDpi()) {
        // Per-monitor aware (v2), else per-monitor aware.
        m_hOld = pfnSet(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-4)));
        if (m_hOld == nullptr) {
            m_hOld = pfnSet(reinterpret_cast<HANDLE>(static_cast<intptr_t>(-3)));
        }
    }
}

CDpiScope::~CDpiScope() {
    if (m_hOld != nullptr) {
        SetThreadDpi()(m_hOld);
    }
}

bool CDibCanvas::Fit(int nWidth, int nHeight) {
    if (m_hBitmap != nullptr && nWidth == m_nWidth && nHeight == m_nHeight) {
        return true;
    }
    Free();
    m_hdc = CreateCompatibleDC(nullptr);
    if (m_hdc == nullptr) {
        return false;
    }
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
        Free();
        return false;
    }
    m_hOldBitmap = SelectObject(m_hdc, m_hBitmap);
    m_pPixels = static_cast<uint8_t*>(pBits);
    m_nWidth = nWidth;
    m_nHeight = nHeight;
    return true;
}

void CDibCanvas::Free() {
    if (m_hBitmap != nullptr) {
        SelectObject(m_hdc, m_hOldBitmap);
        DeleteObject(m_hBitmap);
        m_hBitmap = nullptr;
    }
    if (m_hdc != nullptr) {
        DeleteDC(m_hdc);
        m_hdc = nullptr;
    }
    m_pPixels = nullptr;
    m_nWidth = 0;
    m_nHeight = 0;
}

void CDibCanvas::DrawCursor(int nLeft, int nTop) {
    CURSORINFO ci = {};
    ci.cbSize = sizeof(ci);
    if (m_hdc == nullptr || !GetCursorInfo(&ci) || (ci.flags & CURSOR_SHOWING) == 0 ||
        ci.hCursor == nullptr) {
        return;
    }
    ICONINFO ii = {};
    if (!GetIconInfo(ci.hCursor, &ii)) {
        return;
    }
    DrawIconEx(m_hdc, ci.ptScreenPos.x - static_cast<int>(ii.xHotspot) - nLeft,
               ci.ptScreenPos.y - static_cast<int>(ii.yHotspot) - nTop, ci.hCursor, 0, 0, 0,
               nullptr, DI_NORMAL);
    if (ii.hbmMask != nullptr) {
        DeleteObject(ii.hbmMask);
    }
    if (ii.hbmColor != nullptr) {
        DeleteObject(ii.hbmColor);
    }
    GdiFlush();
}

}  // namespace dvengine
