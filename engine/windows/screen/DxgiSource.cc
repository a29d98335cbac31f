// The desktop through DXGI Desktop Duplication: every output attached to the
// desktop duplicated on its adapter's device, each new frame copied through
// a staging texture into one picture of the virtual screen, the cursor drawn
// on a copy of it (duplication leaves the cursor out), and what changed found
// by comparing tiles, so that changes are never taken on trust.
//
// d3d11.dll and dxgi.dll are loaded at run time: the library imports
// neither. Any failure here (no duplication offered, as under Wine; a lost
// duplication; a rotated output) ends this source, and the desktop source
// goes on with GDI.
#include <windows.h>
// windows.h first: the DirectX headers rely on its types.
#include <d3d11.h>
#include <dxgi1_2.h>

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
    RECT rc = {};  // on the virtual screen

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

    HMODULE m_hD3d11 = nullptr;
    HMODULE m_hDxgi = nullptr;
    std::vector<COutput> m_vOutputs;
    RECT m_rcAll = {};
    std::vector<uint8_t> m_vClean;  // the desktop without the cursor
    CDibCanvas m_canvas;
    CCanvasCursor m_cursor;
    CTileDiff m_diff;
};

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

// Copies the output's new frame, if it has one, into the clean picture.
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
    const int nWidth = pOutput->rc.right - pOutput->rc.left;
    const int nHeight = pOutput->rc.bottom - pOutput->rc.top;
    const size_t cbStride = size_t(m_rcAll.right - m_rcAll.left) * 4;
    uint8_t* pTo = m_vClean.data() + size_t(pOutput->rc.top - m_rcAll.top) * cbStride +
                   size_t(pOutput->rc.left - m_rcAll.left) * 4;
    const auto* pFrom = static_cast<const uint8_t*>(mapped.pData);
    for (int y = 0; y < nHeight; ++y) {
        std::memcpy(pTo + y * cbStride, pFrom + size_t(y) * mapped.RowPitch, size_t(nWidth) * 4);
    }
    pOutput->pContext->Unmap(pOutput->pStaging, 0);
    return S_OK;
}

HRESULT CDxgiSource::Grab(int64_t, CScreenFrame* pFrame) {
    if (m_vOutputs.empty()) {
        return DV_E_NO_DISPLAY;
    }
    CDpiScope dpi;
    const int64_t nNow = MonotonicUs();
    for (COutput& output : m_vOutputs) {
        const HRESULT hr = Update(&output);
        if (FAILED(hr)) {
            return hr;
        }
    }
    std::memcpy(m_canvas.Pixels(), m_vClean.data(), m_vClean.size());
    m_cursor.Update();
    m_cursor.Draw(&m_canvas, m_rcAll.left, m_rcAll.top);
    pFrame->pPixels = m_canvas.Pixels();
    pFrame->nStride = m_canvas.Stride();
    pFrame->nWidth = m_canvas.Width();
    pFrame->nHeight = m_canvas.Height();
    pFrame->nTimeUs = nNow;
    pFrame->vChanged.clear();
    m_diff.Compare(m_canvas.Pixels(), m_canvas.Stride(), m_canvas.Width(), m_canvas.Height(),
                   &pFrame->vChanged);
    return S_OK;
}

}  // namespace

std::unique_ptr<IScreenSource> CreateDxgiSource() {
    return std::unique_ptr<IScreenSource>(new (std::nothrow) CDxgiSource);
}

}  // namespace dvengine
