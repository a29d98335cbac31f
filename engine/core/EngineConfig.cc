// The engine's configuration objects: the source group, its sources, the
// profile and its audience. They only hold settings, which the encoder
// copies into a snapshot when it prepares; kept apart from OwnEngine.cc,
// which holds the encoder, its sessions and the registration.
#include "engine/core/EngineConfig.h"

#include <new>

#include "deskvid/deskvid_status.h"

namespace dvengine {
namespace {

// Reaches the engine's own profile object from the plain profile interface
// that a source group is handed. Never leaves the engine.
const IID IID_IOwnProfileImpl = {
    0x6d1f7a52, 0x93c4, 0x4b0e, {0x8a, 0x61, 0x2f, 0x5b, 0x0c, 0x9e, 0x47, 0xd3}};

}  // namespace

std::u16string ToU16(const OLECHAR* pwsz) {
    // OLECHAR is a UTF-16 unit on every target (wchar_t on Windows).
    static_assert(sizeof(OLECHAR) == sizeof(char16_t), "OLECHAR holds UTF-16");
    return pwsz != nullptr ? std::u16string(reinterpret_cast<const char16_t*>(pwsz))
                           : std::u16string();
}

// ---------------------------------------------------------------- sources

class CSource final : public TComObject<CSource, IWMEncVideoSource2, IPropertyBag> {
public:
    explicit CSource(WMENC_SOURCE_TYPE type) : m_type(type) {}

    static constexpr TInterfaceEntry<CSource> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncVideoSource2>},
        {&IID_IWMEncVideoSource2, InterfaceOf<IWMEncVideoSource2>},
        {&IID_IPropertyBag, InterfaceOf<IPropertyBag>},
    };
    // An audio source is a plain source: no video interface, no property bag.
    HRESULT Admit(REFIID riid) const {
        return m_type == WMENC_VIDEO || riid == IID_IUnknown ? S_OK : E_NOINTERFACE;
    }

    HRESULT SetInput(BSTR bstrInput, BSTR bstrScheme, BSTR bstrInitData) override {
        const std::u16string strInput = ToU16(bstrInput);
        const char16_t* pszOnly = m_type == WMENC_VIDEO ? kVideoInput : kAudioInput;
        if (strInput != pszOnly || !ToU16(bstrScheme).empty() || !ToU16(bstrInitData).empty()) {
            return DV_E_BAD_INPUT;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strInput = strInput;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog*) override {
        if (pszPropName == nullptr || pVar == nullptr) {
            return E_POINTER;
        }
        if (ToU16(pszPropName) != u"Screen") {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        VariantInit(pVar);
        V_VT(pVar) = VT_BOOL;
        V_BOOL(pVar) = m_bScreen ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR pszPropName, VARIANT* pVar) override {
        if (pszPropName == nullptr || pVar == nullptr) {
            return E_POINTER;
        }
        if (ToU16(pszPropName) != u"Screen") {
            return E_INVALIDARG;
        }
        if (V_VT(pVar) != VT_BOOL) {
            return DISP_E_TYPEMISMATCH;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bScreen = V_BOOL(pVar) != VARIANT_FALSE;
        return S_OK;
    }

    WMENC_SOURCE_TYPE Type() const { return m_type; }
    void Describe(std::u16string* pstrInput, bool* pbScreen) {
        std::lock_guard<std::mutex> lock(m_mutex);
        *pstrInput = m_strInput;
        *pbScreen = m_bScreen;
    }

private:
    const WMENC_SOURCE_TYPE m_type;
    std::mutex m_mutex;
    std::u16string m_strInput;
    bool m_bScreen = false;
};
namespace {

// ---------------------------------------------------------------- profile

class CProfile final : public TComObject<CProfile, IWMEncProfile2, IWMEncProfile> {
public:
    static constexpr TInterfaceEntry<CProfile> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncProfile2>},
        {&IID_IWMEncProfile2, InterfaceOf<IWMEncProfile2>},
        {&IID_IDispatch, InterfaceOf<IWMEncProfile>},
        {&IID_IWMEncProfile, InterfaceOf<IWMEncProfile>},
        {&IID_IOwnProfileImpl, InterfaceOf<CProfile>},
    };
    PORT_DISPATCH_NOT_BY_NAME

    HRESULT put_ValidateMode(VARIANT_BOOL) override { return S_OK; }
    HRESULT put_ProfileName(BSTR) override { return S_OK; }
    HRESULT put_ProfileDescription(BSTR) override { return S_OK; }

    HRESULT put_ContentType(LONG lContentType) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settings.lContentType = lContentType;
        return S_OK;
    }

    HRESULT put_VBRMode(WMENC_SOURCE_TYPE enumType, LONG lStream,
                        WMENC_PROFILE_VBR_MODE enumMode) override {
        if (lStream != 0 || (enumType != WMENC_AUDIO && enumType != WMENC_VIDEO)) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        (enumType == WMENC_AUDIO ? m_settings.bAudioConstant : m_settings.bVideoConstant) =
            enumMode == WMENC_PVM_NONE;
        return S_OK;
    }

    HRESULT AddAudience(LONG lBitrate, IWMEncAudienceObj** ppAudience) override;

    HRESULT Validate() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return ValidateProfile(m_settings);
    }

    // For the audience: one value of stream 0.
    template <class F>
    HRESULT SetStreamValue(LONG lStream, F set) {
        if (lStream != 0) {
            return E_INVALIDARG;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        set(&m_settings);
        return S_OK;
    }

    CProfileSettings Settings() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_settings;
    }

private:
    std::mutex m_mutex;
    CProfileSettings m_settings;
};

class CAudience final : public TComObject<CAudience, IWMEncAudienceObj> {
public:
    explicit CAudience(CProfile* pProfile) : m_pProfile(pProfile) { m_pProfile->AddRef(); }
    ~CAudience() { static_cast<IWMEncProfile2*>(m_pProfile)->Release(); }

    static constexpr TInterfaceEntry<CAudience> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncAudienceObj>},
    };

    HRESULT put_VideoBitrate(LONG lStream, LONG lValue) override {
        return m_pProfile->SetStreamValue(lStream,
                                          [=](CProfileSettings* p) { p->lVideoBitrate = lValue; });
    }
    HRESULT put_VideoHeight(LONG lStream, LONG lValue) override {
        return m_pProfile->SetStreamValue(lStream,
                                          [=](CProfileSettings* p) { p->lHeight = lValue; });
    }
    HRESULT put_VideoWidth(LONG lStream, LONG lValue) override {
        return m_pProfile->SetStreamValue(lStream,
                                          [=](CProfileSettings* p) { p->lWidth = lValue; });
    }
    HRESULT put_VideoKeyFrameDistance(LONG lStream, LONG lValue) override {
        return m_pProfile->SetStreamValue(lStream,
                                          [=](CProfileSettings* p) { p->lKeyFrameMs = lValue; });
    }
    HRESULT put_VideoFPS(LONG lStream, LONG lValue) override {
        return m_pProfile->SetStreamValue(lStream,
                                          [=](CProfileSettings* p) { p->lFpsTimes1000 = lValue; });
    }
    HRESULT put_VideoImageSharpness(LONG lStream, LONG lValue) override {
        return m_pProfile->SetStreamValue(lStream,
                                          [=](CProfileSettings* p) { p->lSharpness = lValue; });
    }

private:
    CProfile* m_pProfile;
};

HRESULT CProfile::AddAudience(LONG lBitrate, IWMEncAudienceObj** ppAudience) {
    if (ppAudience == nullptr) {
        return E_POINTER;
    }
    *ppAudience = nullptr;
    {
        // One audience per profile: the file has one video stream.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_settings.bHasAudience) {
            return E_INVALIDARG;
        }
        m_settings.bHasAudience = true;
        m_settings.lAudienceBitrate = lBitrate;
        m_settings.lVideoBitrate = lBitrate;
    }
    *ppAudience = new (std::nothrow) CAudience(this);
    if (*ppAudience == nullptr) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settings.bHasAudience = false;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}
}  // namespace

// ---------------------------------------------------------------- source group
CGroup::~CGroup() {
    for (CSource* p : m_vSources) {
        p->Release();
    }
}

HRESULT CGroup::get_SourceCount(WMENC_SOURCE_TYPE enumType, SHORT* pnCount) {
    if (pnCount == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    SHORT n = 0;
    for (CSource* p : m_vSources) {
        n += p->Type() == enumType ? 1 : 0;
    }
    *pnCount = n;
    return S_OK;
}

HRESULT CGroup::RemoveSource(WMENC_SOURCE_TYPE enumType, VARIANT varIndex) {
    LONG lIndex = 0;
    if (V_VT(&varIndex) == VT_I2) {
        lIndex = V_I2(&varIndex);
    } else if (V_VT(&varIndex) == VT_I4) {
        lIndex = V_I4(&varIndex);
    } else {
        return DISP_E_TYPEMISMATCH;
    }
    CSource* pRemoved = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        LONG i = 0;
        for (auto it = m_vSources.begin(); it != m_vSources.end(); ++it) {
            if ((*it)->Type() == enumType && i++ == lIndex) {
                pRemoved = *it;
                m_vSources.erase(it);
                break;
            }
        }
    }
    if (pRemoved == nullptr) {
        return E_INVALIDARG;
    }
    pRemoved->Release();
    return S_OK;
}

HRESULT CGroup::AddSource(WMENC_SOURCE_TYPE enumType, IWMEncSource** ppSource) {
    if (ppSource == nullptr) {
        return E_POINTER;
    }
    *ppSource = nullptr;
    if (enumType != WMENC_AUDIO && enumType != WMENC_VIDEO) {
        return E_INVALIDARG;
    }
    CSource* pSource = new (std::nothrow) CSource(enumType);
    if (pSource == nullptr) {
        return E_OUTOFMEMORY;
    }
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vSources.push_back(pSource);
    } catch (const std::bad_alloc&) {
        pSource->Release();
        return E_OUTOFMEMORY;
    }
    pSource->AddRef();
    *ppSource = static_cast<IWMEncVideoSource2*>(pSource);
    return S_OK;
}

HRESULT CGroup::put_Profile(VARIANT varProfile) {
    if (V_VT(&varProfile) != VT_DISPATCH) {
        return DISP_E_TYPEMISMATCH;
    }
    if (V_DISPATCH(&varProfile) == nullptr) {
        return E_POINTER;
    }
    void* pv = nullptr;
    if (FAILED(V_DISPATCH(&varProfile)->QueryInterface(IID_IOwnProfileImpl, &pv))) {
        return E_INVALIDARG;  // a profile that this engine did not make
    }
    CProfile* pProfile = static_cast<CProfile*>(pv);
    const CProfileSettings settings = pProfile->Settings();
    static_cast<IWMEncProfile2*>(pProfile)->Release();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bHasProfile = true;
    m_profile = settings;
    return S_OK;
}

void CGroup::Describe(CSnapshot* pSnap) {
    std::lock_guard<std::mutex> lock(m_mutex);
    pSnap->bHasProfile = m_bHasProfile;
    pSnap->profile = m_profile;
    bool bVideo = false;
    bool bAudio = false;
    for (CSource* p : m_vSources) {
        bool bScreen = false;
        if (p->Type() == WMENC_VIDEO && !bVideo) {
            p->Describe(&pSnap->strVideoInput, &pSnap->bScreen);
            bVideo = true;
        } else if (p->Type() == WMENC_AUDIO && !bAudio) {
            p->Describe(&pSnap->strAudioInput, &bScreen);
            bAudio = true;
        }
    }
}

HRESULT CreateProfile(REFCLSID, DWORD, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    CProfile* pProfile = new (std::nothrow) CProfile;
    if (pProfile == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = pProfile->QueryInterface(riid, ppv);
    static_cast<IWMEncProfile2*>(pProfile)->Release();
    return hr;
}

}  // namespace dvengine
