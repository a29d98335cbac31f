#include "engine/windows/screen/Desktop.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

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

bool CCanvasCursor::Update() {
    m_ci = CURSORINFO{};
    m_ci.cbSize = sizeof(m_ci);
    if (!GetCursorInfo(&m_ci) || (m_ci.flags & CURSOR_SHOWING) == 0 || m_ci.hCursor == nullptr) {
        m_ci = CURSORINFO{};
    }
    m_ci.flags &= CURSOR_SHOWING;
    return m_ci.flags != m_ciDrawn.flags || m_ci.hCursor != m_ciDrawn.hCursor ||
           m_ci.ptScreenPos.x != m_ciDrawn.ptScreenPos.x ||
           m_ci.ptScreenPos.y != m_ciDrawn.ptScreenPos.y;
}

void CCanvasCursor::Lift(CDibCanvas* pCanvas) {
    const RECT rc = m_rcDrawn;
    m_rcDrawn = RECT{};
    if (rc.right <= rc.left || rc.bottom <= rc.top || pCanvas->Pixels() == nullptr ||
        rc.right > pCanvas->Width() || rc.bottom > pCanvas->Height()) {
        return;
    }
    const size_t cbRow = static_cast<size_t>(rc.right - rc.left) * 4;
    for (int y = rc.top; y < rc.bottom; ++y) {
        std::memcpy(pCanvas->Pixels() + static_cast<size_t>(y) * pCanvas->Stride() + rc.left * 4,
                    &m_vUnder[(y - rc.top) * cbRow], cbRow);
    }
}

void CCanvasCursor::Draw(CDibCanvas* pCanvas, int nLeft, int nTop) {
    m_ciDrawn = m_ci;
    m_rcDrawn = RECT{};
    ICONINFO ii = {};
    if (m_ci.hCursor == nullptr || pCanvas->Dc() == nullptr || !GetIconInfo(m_ci.hCursor, &ii)) {
        return;
    }
    // Drawn at its own size: its colour bitmap's, or half its mask's (a
    // monochrome cursor's mask holds its AND and XOR halves).
    BITMAP bm = {};
    if (GetObjectW(ii.hbmColor != nullptr ? ii.hbmColor : ii.hbmMask, sizeof(bm), &bm) != 0) {
        const int x = m_ci.ptScreenPos.x - static_cast<int>(ii.xHotspot) - nLeft;
        const int y = m_ci.ptScreenPos.y - static_cast<int>(ii.yHotspot) - nTop;
        const int cy = ii.hbmColor != nullptr ? bm.bmHeight : bm.bmHeight / 2;
        RECT rc = {(std::max)(x, 0), (std::max)(y, 0),
                   (std::min<int>)(x + bm.bmWidth, pCanvas->Width()),
                   (std::min)(y + cy, pCanvas->Height())};
        const size_t cbRow = static_cast<size_t>((std::max<int>)(rc.right - rc.left, 0)) * 4;
        bool bKept = rc.right > rc.left && rc.bottom > rc.top;
        try {
            m_vUnder.resize(bKept ? cbRow * (rc.bottom - rc.top) : 0);
        } catch (const std::bad_alloc&) {
            bKept = false;  // not drawn: the canvas stays the desktop alone
        }
        if (bKept) {
            for (int iy = rc.top; iy < rc.bottom; ++iy) {
                std::memcpy(
                    &m_vUnder[(iy - rc.top) * cbRow],
                    pCanvas->Pixels() + static_cast<size_t>(iy) * pCanvas->Stride() + rc.left * 4,
                    cbRow);
            }
            DrawIconEx(pCanvas->Dc(), x, y, m_ci.hCursor, 0, 0, 0, nullptr, DI_NORMAL);
            GdiFlush();
            m_rcDrawn = rc;
        }
    }
    if (ii.hbmMask != nullptr) {
        DeleteObject(ii.hbmMask);
    }
    if (ii.hbmColor != nullptr) {
        DeleteObject(ii.hbmColor);
    }
}

}  // namespace dvengine
