// The desktop through DXGI Desktop Duplication: every output attached to the
// desktop duplicated on its adapter's device, each new frame brought through
// a staging texture into one picture of the virtual screen where it changed,
// and the cursor drawn on a copy of it (duplication leaves the cursor out).
// What changed is what duplication reports (moved rectangles' destinations
// and dirty rectangles) and where the cursor went; as reports are never
// trusted alone, once a second the tiles are compared instead.
//
// d3d11.dll and dxgi.dll are loaded at run time: the library imports
// neither. Any failure here (no duplication offered, as under Wine; a lost
// duplication; a rotated output) ends this source, and the desktop source
// goes on with GDI.
#include <windows.h>
// windows.h first: the DirectX headers rely on its types.
#include <d3d11.h>
#include <dxgi1_2.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "deskvid/deskvid_status.h"
#include "engine/core/TileDiff.h"
#include "engine/windows/screen/Desktop.h"
#include "engine/windows/screen/GdiSource.h"

namespace dvengine {
namespace {

template <class T>
void SafeRelease(T** pp) {
    if (*pp != nullptr) {
        (*pp)->Release();
        *pp = nullptr;
    }
}

struct COutput {
    ID3D11Device* pDevice = nullptr;
    ID3D11DeviceContext* pContext = nullptr;
    IDXGIOutputDuplication* pDuplication = nullptr;
    ID3D11Texture2D* pStaging = nullptr;
    RECT rc = {};        // on the virtual screen
    bool bFirst = true;  // no frame has come yet: the first is taken whole

    void Release() {
        SafeRelease(&pStaging);
        SafeRelease(&pDuplication);
        SafeRelease(&pContext);
        SafeRelease(&pDevice);
    }
};

class CDxgiSource final : public IScreenSource {
public:
    ~CDxgiSource() override {
        Stop();
        if (m_hD3d11 != nullptr) {
            FreeLibrary(m_hD3d11);
        }
        if (m_hDxgi != nullptr) {
            FreeLibrary(m_hDxgi);
        }
    }

    HRESULT Start(int64_t) override;
    HRESULT Grab(int64_t, CScreenFrame* pFrame) override;
    bool WaitForChange(int64_t nDeadlineUs) override {
        SleepUntil(nDeadlineUs);
        return false;
    }
    void Stop() override {
        for (COutput& output : m_vOutputs) {
            output.Release();
        }
        m_vOutputs.clear();
        m_canvas.Free();
    }

private:
    HRESULT AddOutputs(IDXGIAdapter1* pAdapter, PFN_D3D11_CREATE_DEVICE pfnCreateDevice);
    HRESULT Update(COutput* pOutput);
    void Reported(IDXGIOutputDuplication* pDuplication, UINT cbMetadata, const CRect& rcOutput);

    HMODULE m_hD3d11 = nullptr;
    HMODULE m_hDxgi = nullptr;
    std::vector<COutput> m_vOutputs;
    RECT m_rcAll = {};
    std::vector<uint8_t> m_vClean;  // the desktop without the cursor
    CDibCanvas m_canvas;
    CCanvasCursor m_cursor;
    CTileDiff m_diff;
    int64_t m_nCheckUs = 0;  // when the tiles are compared next
    std::vector<CRect> m_vChanged;
    // An output's frame's rectangles, as duplication reports them.
    std::vector<DXGI_OUTDUPL_MOVE_RECT> m_vMoves;
    std::vector<RECT> m_vDirty;
    std::vector<CRect> m_vReported;
};

// How often the tiles are compared instead of trusting the reports.
constexpr int64_t kCheckUs = 1000000;

CRect RectOf(const RECT& rc) {
    return CRect{rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top};
}

HRESULT CDxgiSource::Start(int64_t) {
    CDpiScope dpi;
    m_hD3d11 = LoadLibraryW(L"d3d11.dll");
    m_hDxgi = LoadLibraryW(L"dxgi.dll");
    if (m_hD3d11 == nullptr || m_hDxgi == nullptr) {
        return DV_E_NO_DISPLAY;
    }
    typedef HRESULT(WINAPI * PFNCREATEFACTORY)(REFIID, void**);
    const auto pfnCreateFactory = reinterpret_cast<PFNCREATEFACTORY>(
        reinterpret_cast<void*>(GetProcAddress(m_hDxgi, "CreateDXGIFactory1")));
    const auto pfnCreateDevice = reinterpret_cast<PFN_D3D11_CREATE_DEVICE>(
        reinterpret_cast<void*>(GetProcAddress(m_hD3d11, "D3D11CreateDevice")));
    IDXGIFactory1* pFactory = nullptr;
    if (pfnCreateFactory == nullptr || pfnCreateDevice == nullptr ||
        FAILED(pfnCreateFactory(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(&pFactory)))) {
        return DV_E_NO_DISPLAY;
    }
    HRESULT hr = S_OK;
    IDXGIAdapter1* pAdapter = nullptr;
    for (UINT i = 0; SUCCEEDED(hr) && pFactory->EnumAdapters1(i, &pAdapter) == S_OK; ++i) {
        hr = AddOutputs(pAdapter, pfnCreateDevice);
        SafeRelease(&pAdapter);
    }
    SafeRelease(&pFactory);
    if (FAILED(hr) || m_vOutputs.empty()) {
        Stop();
        return FAILED(hr) ? hr : DV_E_NO_DISPLAY;
    }
    m_rcAll = m_vOutputs[0].rc;
    for (const COutput& output : m_vOutputs) {
        UnionRect(&m_rcAll, &m_rcAll, &output.rc);
    }
    const int nWidth = m_rcAll.right - m_rcAll.left;
    const int nHeight = m_rcAll.bottom - m_rcAll.top;
    try {
        m_vClean.assign(size_t(nWidth) * nHeight * 4, 0);
        m_vReported.reserve(16);
    } catch (const std::bad_alloc&) {
        Stop();
        return E_OUTOFMEMORY;
    }
    if (!m_canvas.Fit(nWidth, nHeight)) {
        Stop();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// Duplicates every output of the adapter that is part of the desktop, on a
// device of the adapter's own.
HRESULT CDxgiSource::AddOutputs(IDXGIAdapter1* pAdapter, PFN_D3D11_CREATE_DEVICE pfnCreateDevice) {
    HRESULT hr = S_OK;
    IDXGIOutput* pOutput = nullptr;
    for (UINT i = 0; SUCCEEDED(hr) && pAdapter->EnumOutputs(i, &pOutput) == S_OK; ++i) {
        DXGI_OUTPUT_DESC desc = {};
        IDXGIOutput1* pOutput1 = nullptr;
        hr = pOutput->GetDesc(&desc);
        if (SUCCEEDED(hr) && desc.AttachedToDesktop) {
            // A rotated output would need its picture turned: GDI does that.
            if (desc.Rotation != DXGI_MODE_ROTATION_IDENTITY &&
                desc.Rotation != DXGI_MODE_ROTATION_UNSPECIFIED) {
                hr = E_NOTIMPL;
            }
            COutput output;
            output.rc = desc.DesktopCoordinates;
            if (SUCCEEDED(hr)) {
                hr = pfnCreateDevice(pAdapter, D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0,
                                     D3D11_SDK_VERSION, &output.pDevice, nullptr, &output.pContext);
            }
            if (SUCCEEDED(hr)) {
                hr = pOutput->QueryInterface(__uuidof(IDXGIOutput1),
                                             reinterpret_cast<void**>(&pOutput1));
            }
            if (SUCCEEDED(hr)) {
                // Under Wine: E_NOTIMPL.
                hr = pOutput1->DuplicateOutput(output.pDevice, &output.pDuplication);
            }
            SafeRelease(&pOutput1);
            if (SUCCEEDED(hr)) {
                try {
                    m_vOutputs.push_back(output);
                } catch (const std::bad_alloc&) {
                    hr = E_OUTOFMEMORY;
                }
            }
            if (FAILED(hr)) {
                output.Release();
            }
        }
        SafeRelease(&pOutput);
    }
    return hr;
}

// The rectangles the frame being acquired changed, in the output's
// coordinates, into m_vReported: every move's destination and every dirty
// rectangle; the whole output where duplication cannot tell.
void CDxgiSource::Reported(IDXGIOutputDuplication* pDuplication, UINT cbMetadata,
                           const CRect& rcOutput) {
    m_vReported.clear();
    bool bTold = false;
    try {
        m_vMoves.resize(cbMetadata / sizeof(DXGI_OUTDUPL_MOVE_RECT) + 1);
        m_vDirty.resize(cbMetadata / sizeof(RECT) + 1);
        UINT cbMoves = 0;
        UINT cbDirty = 0;
        bTold = SUCCEEDED(pDuplication->GetFrameMoveRects(
                    UINT(m_vMoves.size() * sizeof(DXGI_OUTDUPL_MOVE_RECT)), m_vMoves.data(),
                    &cbMoves)) &&
                SUCCEEDED(pDuplication->GetFrameDirtyRects(UINT(m_vDirty.size() * sizeof(RECT)),
                                                           m_vDirty.data(), &cbDirty));
        for (UINT i = 0; bTold && i < cbMoves / sizeof(DXGI_OUTDUPL_MOVE_RECT); ++i) {
            m_vReported.push_back(RectOf(m_vMoves[i].DestinationRect));
        }
        for (UINT i = 0; bTold && i < cbDirty / sizeof(RECT); ++i) {
            m_vReported.push_back(RectOf(m_vDirty[i]));
        }
    } catch (const std::bad_alloc&) {
        bTold = false;
    }
    if (!bTold) {
        m_vReported.assign(1, CRect{0, 0, rcOutput.w, rcOutput.h});  // reserved at the start
    }
}

// Copies what changed in the output's new frame, if it has one, into the
// clean picture, and adds it to m_vChanged.
HRESULT CDxgiSource::Update(COutput* pOutput) {
    DXGI_OUTDUPL_FRAME_INFO info = {};
    IDXGIResource* pResource = nullptr;
    HRESULT hr = pOutput->pDuplication->AcquireNextFrame(0, &info, &pResource);
    if (hr == DXGI_ERROR_WAIT_TIMEOUT) {
        return S_OK;  // nothing new on this output
    }
    if (FAILED(hr)) {
        return hr;  // lost (a desktop switch, a mode change): GDI takes over
    }
    const CRect rcOutput{pOutput->rc.left - m_rcAll.left, pOutput->rc.top - m_rcAll.top,
                         pOutput->rc.right - pOutput->rc.left,
                         pOutput->rc.bottom - pOutput->rc.top};
    ID3D11Texture2D* pTexture = nullptr;
    if (info.LastPresentTime.QuadPart != 0) {
        hr = pResource->QueryInterface(__uuidof(ID3D11Texture2D),
                                       reinterpret_cast<void**>(&pTexture));
        if (SUCCEEDED(hr) && pOutput->pStaging == nullptr) {
            D3D11_TEXTURE2D_DESC desc = {};
            pTexture->GetDesc(&desc);
            desc.Usage = D3D11_USAGE_STAGING;
            desc.BindFlags = 0;
            desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
            desc.MiscFlags = 0;
            desc.MipLevels = 1;
            desc.ArraySize = 1;
            hr = pOutput->pDevice->CreateTexture2D(&desc, nullptr, &pOutput->pStaging);
        }
        if (SUCCEEDED(hr)) {
            pOutput->pContext->CopyResource(pOutput->pStaging, pTexture);
            // The frame's rectangles are told only until it is released.
            Reported(pOutput->pDuplication, info.TotalMetadataBufferSize, rcOutput);
            if (pOutput->bFirst) {
                m_vReported.assign(1, CRect{0, 0, rcOutput.w, rcOutput.h});
                pOutput->bFirst = false;
            }
        }
    }
    SafeRelease(&pTexture);
    SafeRelease(&pResource);
    pOutput->pDuplication->ReleaseFrame();
    if (FAILED(hr) || info.LastPresentTime.QuadPart == 0) {
        return hr;  // a failure, or only the pointer moved
    }
    D3D11_MAPPED_SUBRESOURCE mapped = {};
    hr = pOutput->pContext->Map(pOutput->pStaging, 0, D3D11_MAP_READ, 0, &mapped);
    if (FAILED(hr)) {
        return hr;
    }
    const size_t iFirst = m_vChanged.size();
    try {
        AddReported(m_vReported, rcOutput, &m_vChanged);
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    // The new frame's pixels where it changed: a moved rectangle's
    // destination holds its copy already.
    const size_t cbStride = size_t(m_rcAll.right - m_rcAll.left) * 4;
    const auto* pFrom = static_cast<const uint8_t*>(mapped.pData);
    for (size_t i = iFirst; SUCCEEDED(hr) && i < m_vChanged.size(); ++i) {
        const CRect& r = m_vChanged[i];
        for (int y = r.y; y < r.y + r.h; ++y) {
            std::memcpy(
                m_vClean.data() + y * cbStride + size_t(r.x) * 4,
                pFrom + size_t(y - rcOutput.y) * mapped.RowPitch + size_t(r.x - rcOutput.x) * 4,
                size_t(r.w) * 4);
        }
    }
    pOutput->pContext->Unmap(pOutput->pStaging, 0);
    return hr;
}

HRESULT CDxgiSource::Grab(int64_t, CScreenFrame* pFrame) {
    if (m_vOutputs.empty()) {
        return DV_E_NO_DISPLAY;
    }
    CDpiScope dpi;
    const int64_t nNow = MonotonicUs();
    m_vChanged.clear();
    for (COutput& output : m_vOutputs) {
        const HRESULT hr = Update(&output);
        if (FAILED(hr)) {
            return hr;
        }
    }
    const RECT rcCursor = m_cursor.Drawn();
    const bool bCursorChanged = m_cursor.Update();
    if (!m_vChanged.empty() || bCursorChanged || nNow >= m_nCheckUs) {
        std::memcpy(m_canvas.Pixels(), m_vClean.data(), m_vClean.size());
        m_cursor.Draw(&m_canvas, m_rcAll.left, m_rcAll.top);
        try {
            if (nNow >= m_nCheckUs) {
                m_vChanged.clear();
                m_diff.Compare(m_canvas.Pixels(), m_canvas.Stride(), m_canvas.Width(),
                               m_canvas.Height(), &m_vChanged);
                m_nCheckUs = nNow + kCheckUs;
            } else {
                for (const RECT& rc : {rcCursor, m_cursor.Drawn()}) {
                    if (bCursorChanged && rc.right > rc.left && rc.bottom > rc.top) {
                        m_vChanged.push_back(RectOf(rc));
                    }
                }
                // The copy stays true for the next comparison.
                int nTop = m_canvas.Height();
                int nBottom = 0;
                for (const CRect& r : m_vChanged) {
                    nTop = (std::min)(nTop, int(r.y));
                    nBottom = (std::max)(nBottom, int(r.y + r.h));
                }
                m_diff.Take(m_canvas.Pixels(), m_canvas.Stride(), m_canvas.Width(),
                            m_canvas.Height(), nTop, nBottom);
            }
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    pFrame->pPixels = m_canvas.Pixels();
    pFrame->nStride = m_canvas.Stride();
    pFrame->nWidth = m_canvas.Width();
    pFrame->nHeight = m_canvas.Height();
    pFrame->nTimeUs = nNow;
    pFrame->vChanged.clear();
    pFrame->vChanged.swap(m_vChanged);
    return S_OK;
}

}  // namespace

std::unique_ptr<IScreenSource> CreateDxgiSource() {
    return std::unique_ptr<IScreenSource>(new (std::nothrow) CDxgiSource);
}

}  // namespace dvengine
