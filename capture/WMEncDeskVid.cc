#include "capture/WMEncDeskVid.h"

#include <new>

#include "capture/CaptureSources.h"

namespace {

const DVWCHAR kNoFileName[] = {0};

const char kSourceGroupName[] = "SG_1";
const char kAuthor[] = "";
const char kCopyright[] = "";
const char kDescription[] = "Description of the encoded content.";
const char kRating[] = "Content rating.";
const char kTitle[] = "";

template <class T>
void PutText(T* pObject, HRESULT (T::*pfnPut)(BSTR), const char* pszText) {
    CWideString wsText(pszText);
    (pObject->*pfnPut)(wsText.Get());
}

}  // namespace

CWMEncDeskVid::CWMEncDeskVid() : m_pEncoder(nullptr), m_hrState(E_FAIL), m_params() {
    m_params.dwMask = 0;
    m_params.lpwszFile = kNoFileName;
    m_params.bySharpness = DESKVID_DEFAULT_SHARPNESS;
    m_params.nBitrateKbps = DESKVID_DEFAULT_BITRATE_KBPS;
    m_params.nFps = DESKVID_DEFAULT_FPS;
    m_params.nWidth = 0;
    m_params.nHeight = 0;
}

CWMEncDeskVid::~CWMEncDeskVid() {
    try {
        if (SUCCEEDED(m_hrState)) {
            Teardown();
        }
    } catch (...) {
        // A destructor lets nothing escape; the encoder is released below.
    }
    if (m_pEncoder != nullptr) {
        IWMEncoder* pEncoder = m_pEncoder;
        m_pEncoder = nullptr;
        pEncoder->Release();
    }
}

int32_t CWMEncDeskVid::Control(int nCommand, const CAPTURE_PARAMS* pParams) {
    // An engine written in C++ may throw; the host only ever sees a status.
    try {
        return Dispatch(nCommand, pParams);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT CWMEncDeskVid::Dispatch(int nCommand, const CAPTURE_PARAMS* pParams) {
    switch (nCommand) {
        case CAPCMD_START:
            return Start(pParams);
        case CAPCMD_PAUSE:
            return Pause();
        case CAPCMD_STOP:
            return Stop();
        default:
            return E_FAIL;
    }
}

HRESULT CWMEncDeskVid::Start(const CAPTURE_PARAMS* pParams) {
    // A started instance's settings are the ones its recording uses; they are
    // kept aside so that a refused change leaves them in force.
    const CAPTURE_PARAMS paramsInUse = m_params;
    ApplyParams(pParams);
    if (FAILED(m_hrState)) {
        // An idle instance keeps what it was given, failed or not, so that
        // a host may put its environment right and retry with no settings.
        TComPtr<IWMEncoder> pEncoder;
        HRESULT hr = FirstTimeSetup(pEncoder);
        if (FAILED(hr)) {
            return hr;
        }
        // A prepared encoder that fails to start is released at once, with
        // no further call: an idle instance holds no encoder, and the final
        // release closes what preparing it opened.
        hr = pEncoder->Start();
        if (FAILED(hr)) {
            return hr;
        }
        m_pEncoder = pEncoder.Detach();
        m_hrState = 0;
        return hr;
    }
    HRESULT hr = Reconfigure();
    if (FAILED(hr)) {
        // The engine refused the change and records on as before: so does
        // the instance, and the refused name is never read again.
        m_params = paramsInUse;
        return hr;
    }
    hr = m_pEncoder->Start();
    if (FAILED(hr)) {
        return hr;
    }
    m_hrState = 0;
    return hr;
}

HRESULT CWMEncDeskVid::Pause() {
    if (FAILED(m_hrState)) {
        return E_FAIL;
    }
    return m_pEncoder->Pause();
}

HRESULT CWMEncDeskVid::Stop() {
    if (FAILED(m_hrState)) {
        return E_FAIL;
    }
    return Teardown();
}

void CWMEncDeskVid::ApplyParams(const CAPTURE_PARAMS* pParams) {
    if (pParams == nullptr) {
        return;
    }
    const uint32_t dwMask = pParams->dwMask;
    if (dwMask & CAPF_FILE) {
        m_params.lpwszFile = pParams->lpwszFile;
    }
    if (dwMask & CAPF_SHARPNESS) {
        m_params.bySharpness = pParams->bySharpness;
    }
    if (dwMask & CAPF_FPS) {
        m_params.nFps = pParams->nFps;
    }
    if (dwMask & CAPF_BITRATE) {
        m_params.nBitrateKbps = pParams->nBitrateKbps;
    }
    if (dwMask & CAPF_SIZE) {
        m_params.nWidth = pParams->nWidth;
        m_params.nHeight = pParams->nHeight;
    }
}

HRESULT CWMEncDeskVid::SetFileName(IWMEncoder* pEncoder) {
    TComPtr<IWMEncFile> pFile;
    HRESULT hr = Obtained(pEncoder->get_File(pFile.Out()), pFile);
    if (FAILED(hr)) {
        return hr;
    }
    // The host's text is read afresh at every start.
    CWideString wsFile(static_cast<const OLECHAR*>(m_params.lpwszFile));
    return pFile->put_LocalFileName(wsFile.Get());
}

// The caller holds the new encoder until it has started, so that every
// failure releases it on the way out.
HRESULT CWMEncDeskVid::FirstTimeSetup(TComPtr<IWMEncoder>& pEncoder) {
    HRESULT hr = Obtained(
        RtCreateInstance(CLSID_WMEncoder, CLSCTX_INPROC_SERVER, IID_IWMEncoder, pEncoder.OutVoid()),
        pEncoder);
    if (FAILED(hr)) {
        return hr;
    }
    {
        TComPtr<IWMEncSourceGroupCollection> pCollection;
        hr = Obtained(pEncoder->get_SourceGroupCollection(pCollection.Out()), pCollection);
        if (FAILED(hr)) {
            return hr;
        }
        TComPtr<IWMEncSourceGroup> pGroup;
        {
            CWideString wsName(kSourceGroupName);
            hr = Obtained(pCollection->Add(wsName.Get(), pGroup.Out()), pGroup);
        }
        if (FAILED(hr)) {
            return hr;
        }
        hr = ConfigureSources(pGroup.Get(), m_params);
        if (FAILED(hr)) {
            return hr;
        }
    }
    hr = SetFileName(pEncoder.Get());
    if (FAILED(hr)) {
        return hr;
    }
    {
        TComPtr<IWMEncDisplayInfo> pInfo;
        hr = Obtained(pEncoder->get_DisplayInfo(pInfo.Out()), pInfo);
        if (FAILED(hr)) {
            return hr;
        }
        // Descriptive only: a refused text does not stop the recording.
        PutText(pInfo.Get(), &IWMEncDisplayInfo::put_Author, kAuthor);
        PutText(pInfo.Get(), &IWMEncDisplayInfo::put_Copyright, kCopyright);
        PutText(pInfo.Get(), &IWMEncDisplayInfo::put_Description, kDescription);
        PutText(pInfo.Get(), &IWMEncDisplayInfo::put_Rating, kRating);
        PutText(pInfo.Get(), &IWMEncDisplayInfo::put_Title, kTitle);
    }
    return pEncoder->PrepareToEncode(VARIANT_TRUE);
}

HRESULT CWMEncDeskVid::Reconfigure() {
    HRESULT hr = m_pEncoder->PrepareToEncode(VARIANT_FALSE);
    if (FAILED(hr)) {
        return hr;
    }
    {
        TComPtr<IWMEncSourceGroupCollection> pCollection;
        hr = Obtained(m_pEncoder->get_SourceGroupCollection(pCollection.Out()), pCollection);
        if (FAILED(hr)) {
            return hr;
        }
        TComPtr<IWMEncSourceGroup> pGroup;
        hr = Obtained(pCollection->get_Active(pGroup.Out()), pGroup);
        if (FAILED(hr)) {
            return hr;
        }
        hr = ConfigureSources(pGroup.Get(), m_params);
        if (FAILED(hr)) {
            return hr;
        }
    }
    hr = SetFileName(m_pEncoder);
    if (FAILED(hr)) {
        return hr;
    }
    return m_pEncoder->PrepareToEncode(VARIANT_TRUE);
}

HRESULT CWMEncDeskVid::Teardown() {
    if (m_pEncoder == nullptr) {
        return E_FAIL;
    }
    // Unpreparing is a courtesy before stopping; Stop decides the outcome.
    m_pEncoder->PrepareToEncode(VARIANT_FALSE);
    HRESULT hr = m_pEncoder->Stop();
    IWMEncoder* pEncoder = m_pEncoder;
    m_pEncoder = nullptr;
    m_hrState = E_FAIL;
    pEncoder->Release();
    return hr;
}
