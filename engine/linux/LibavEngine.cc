// The engine's objects. They form a configuration model that calls only
// change; PrepareToEncode(true) takes a snapshot of it and opens a session
// from the snapshot, so a session never sees a half-changed configuration.
#include "engine/linux/LibavEngine.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "encoder/WMEncoder.h"
#include "deskvid/deskvid_status.h"
#include "engine/linux/LibavConfig.h"
#include "engine/linux/LibavLog.h"
#include "engine/linux/Session.h"
#include "port/Utf.h"
#include "runtime/ComObject.h"

namespace libav {
namespace {

using dvlinux::CFileId;
using dvlinux::CSession;

// Reaches the engine's own profile object from the plain profile interface
// that a source group is handed. Never leaves the engine.
const IID IID_ILibavProfileImpl = {
    0x6d1f7a52, 0x93c4, 0x4b0e, {0x8a, 0x61, 0x2f, 0x5b, 0x0c, 0x9e, 0x47, 0xd3}};

std::u16string ToU16(const OLECHAR* pwsz) {
    return pwsz != nullptr ? std::u16string(pwsz) : std::u16string();
}

// ---------------------------------------------------------------- sources

class CLibavSource final : public TComObject<CLibavSource, IWMEncVideoSource2, IPropertyBag> {
public:
    explicit CLibavSource(WMENC_SOURCE_TYPE type) : m_type(type) {}

    static constexpr TInterfaceEntry<CLibavSource> kInterfaces[] = {
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

    HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog*) override {
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

    HRESULT Write(LPCOLESTR pszPropName, VARIANT* pVar) override {
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

// ---------------------------------------------------------------- profile

class CLibavProfile final : public TComObject<CLibavProfile, IWMEncProfile2, IWMEncProfile> {
public:
    static constexpr TInterfaceEntry<CLibavProfile> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncProfile2>},
        {&IID_IWMEncProfile2, InterfaceOf<IWMEncProfile2>},
        {&IID_IDispatch, InterfaceOf<IWMEncProfile>},
        {&IID_IWMEncProfile, InterfaceOf<IWMEncProfile>},
        {&IID_ILibavProfileImpl, InterfaceOf<CLibavProfile>},
    };

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

class CLibavAudience final : public TComObject<CLibavAudience, IWMEncAudienceObj> {
public:
    explicit CLibavAudience(CLibavProfile* pProfile) : m_pProfile(pProfile) {
        m_pProfile->AddRef();
    }
    ~CLibavAudience() { static_cast<IWMEncProfile2*>(m_pProfile)->Release(); }

    static constexpr TInterfaceEntry<CLibavAudience> kInterfaces[] = {
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
    CLibavProfile* m_pProfile;
};

HRESULT CLibavProfile::AddAudience(LONG lBitrate, IWMEncAudienceObj** ppAudience) {
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
    *ppAudience = new (std::nothrow) CLibavAudience(this);
    if (*ppAudience == nullptr) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settings.bHasAudience = false;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// ---------------------------------------------------------------- source group

class CLibavGroup final : public TComObject<CLibavGroup, IWMEncSourceGroup> {
public:
    ~CLibavGroup() {
        for (CLibavSource* p : m_vSources) {
            p->Release();
        }
    }

    static constexpr TInterfaceEntry<CLibavGroup> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncSourceGroup>},
    };

    HRESULT get_SourceCount(WMENC_SOURCE_TYPE enumType, SHORT* pnCount) override {
        if (pnCount == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        SHORT n = 0;
        for (CLibavSource* p : m_vSources) {
            n += p->Type() == enumType ? 1 : 0;
        }
        *pnCount = n;
        return S_OK;
    }

    HRESULT RemoveSource(WMENC_SOURCE_TYPE enumType, VARIANT varIndex) override {
        LONG lIndex = 0;
        if (V_VT(&varIndex) == VT_I2) {
            lIndex = V_I2(&varIndex);
        } else if (V_VT(&varIndex) == VT_I4) {
            lIndex = V_I4(&varIndex);
        } else {
            return DISP_E_TYPEMISMATCH;
        }
        CLibavSource* pRemoved = nullptr;
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

    HRESULT AddSource(WMENC_SOURCE_TYPE enumType, IWMEncSource** ppSource) override {
        if (ppSource == nullptr) {
            return E_POINTER;
        }
        *ppSource = nullptr;
        if (enumType != WMENC_AUDIO && enumType != WMENC_VIDEO) {
            return E_INVALIDARG;
        }
        CLibavSource* pSource = new (std::nothrow) CLibavSource(enumType);
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

    HRESULT put_Profile(VARIANT varProfile) override {
        if (V_VT(&varProfile) != VT_DISPATCH) {
            return DISP_E_TYPEMISMATCH;
        }
        if (V_DISPATCH(&varProfile) == nullptr) {
            return E_POINTER;
        }
        void* pv = nullptr;
        if (FAILED(V_DISPATCH(&varProfile)->QueryInterface(IID_ILibavProfileImpl, &pv))) {
            return E_INVALIDARG;  // a profile that this engine did not make
        }
        CLibavProfile* pProfile = static_cast<CLibavProfile*>(pv);
        const CProfileSettings settings = pProfile->Settings();
        static_cast<IWMEncProfile2*>(pProfile)->Release();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bHasProfile = true;
        m_profile = settings;
        return S_OK;
    }

    void Describe(CSnapshot* pSnap) {
        std::lock_guard<std::mutex> lock(m_mutex);
        pSnap->bHasProfile = m_bHasProfile;
        pSnap->profile = m_profile;
        bool bVideo = false;
        bool bAudio = false;
        for (CLibavSource* p : m_vSources) {
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

private:
    std::mutex m_mutex;
    std::vector<CLibavSource*> m_vSources;  // one reference each
    bool m_bHasProfile = false;
    CProfileSettings m_profile;
};

// ---------------------------------------------------------------- encoder

// What the encoder's collection, file and display information objects write
// into; shared with them, as they may outlive the encoder by a call or two.
struct CModel {
    std::mutex mutex;
    CLibavGroup* pGroup = nullptr;  // the active group, one reference
    std::u16string strFile;
    std::u16string strAuthor;
    std::u16string strCopyright;
    std::u16string strDescription;
    std::u16string strRating;
    std::u16string strTitle;

    ~CModel() {
        if (pGroup != nullptr) {
            pGroup->Release();
        }
    }
};

class CLibavCollection final : public TComObject<CLibavCollection, IWMEncSourceGroupCollection> {
public:
    explicit CLibavCollection(std::shared_ptr<CModel> pModel) : m_pModel(std::move(pModel)) {}

    static constexpr TInterfaceEntry<CLibavCollection> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncSourceGroupCollection>},
    };

    // A new group replaces the active one: the engine records one group.
    HRESULT Add(BSTR, IWMEncSourceGroup** ppGroup) override {
        if (ppGroup == nullptr) {
            return E_POINTER;
        }
        *ppGroup = nullptr;
        CLibavGroup* pGroup = new (std::nothrow) CLibavGroup;
        if (pGroup == nullptr) {
            return E_OUTOFMEMORY;
        }
        CLibavGroup* pOld = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_pModel->mutex);
            pOld = m_pModel->pGroup;
            m_pModel->pGroup = pGroup;
        }
        if (pOld != nullptr) {
            pOld->Release();
        }
        pGroup->AddRef();
        *ppGroup = pGroup;
        return S_OK;
    }

    HRESULT get_Active(IWMEncSourceGroup** ppGroup) override {
        if (ppGroup == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_pModel->mutex);
        *ppGroup = m_pModel->pGroup;
        if (m_pModel->pGroup == nullptr) {
            return E_FAIL;
        }
        m_pModel->pGroup->AddRef();
        return S_OK;
    }

private:
    std::shared_ptr<CModel> m_pModel;
};

class CLibavFile final : public TComObject<CLibavFile, IWMEncFile> {
public:
    explicit CLibavFile(std::shared_ptr<CModel> pModel) : m_pModel(std::move(pModel)) {}

    static constexpr TInterfaceEntry<CLibavFile> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncFile>},
    };

    // A null name is accepted here and refused when the session opens.
    HRESULT put_LocalFileName(BSTR bstrFileName) override {
        std::lock_guard<std::mutex> lock(m_pModel->mutex);
        m_pModel->strFile = ToU16(bstrFileName);
        return S_OK;
    }

private:
    std::shared_ptr<CModel> m_pModel;
};

class CLibavDisplayInfo final : public TComObject<CLibavDisplayInfo, IWMEncDisplayInfo> {
public:
    explicit CLibavDisplayInfo(std::shared_ptr<CModel> pModel) : m_pModel(std::move(pModel)) {}

    static constexpr TInterfaceEntry<CLibavDisplayInfo> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncDisplayInfo>},
    };

    HRESULT put_Author(BSTR bstr) override { return Set(&CModel::strAuthor, bstr); }
    HRESULT put_Copyright(BSTR bstr) override { return Set(&CModel::strCopyright, bstr); }
    HRESULT put_Description(BSTR bstr) override { return Set(&CModel::strDescription, bstr); }
    HRESULT put_Rating(BSTR bstr) override { return Set(&CModel::strRating, bstr); }
    HRESULT put_Title(BSTR bstr) override { return Set(&CModel::strTitle, bstr); }

private:
    HRESULT Set(std::u16string CModel::*pField, BSTR bstr) {
        std::lock_guard<std::mutex> lock(m_pModel->mutex);
        (*m_pModel).*pField = ToU16(bstr);
        return S_OK;
    }

    std::shared_ptr<CModel> m_pModel;
};

class CLibavEncoder final : public TComObject<CLibavEncoder, IWMEncoder> {
public:
    explicit CLibavEncoder(std::shared_ptr<CModel> pModel) : m_pModel(std::move(pModel)) {}
    // The final release finishes a started recording; a session that never
    // started is closed and leaves no file.
    ~CLibavEncoder() { m_pSession.reset(); }

    static constexpr TInterfaceEntry<CLibavEncoder> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncoder>},
        {&IID_IWMEncoder, InterfaceOf<IWMEncoder>},
    };

    HRESULT get_SourceGroupCollection(IWMEncSourceGroupCollection** pp) override {
        return HandNew<CLibavCollection>(pp);
    }
    HRESULT get_File(IWMEncFile** pp) override { return HandNew<CLibavFile>(pp); }
    HRESULT get_DisplayInfo(IWMEncDisplayInfo** pp) override {
        return HandNew<CLibavDisplayInfo>(pp);
    }

    HRESULT PrepareToEncode(VARIANT_BOOL bPrepare) override {
        // Unpreparing opens the configuration for changes; a running or
        // paused session goes on with its own snapshot.
        if (bPrepare == VARIANT_FALSE) {
            return S_OK;
        }
        CSnapshot snap;
        HRESULT hr = TakeSnapshot(&snap);
        if (FAILED(hr)) {
            return hr;
        }
        if (!m_pSession) {
            return CSession::Open(snap, &m_pSession);
        }
        const CSnapshot& current = m_pSession->Snapshot();
        CFileId idNew;
        CFileId idCurrent;
        if (snap.strFile == current.strFile ||
            (CFileId::Of(snap.strFile, &idNew) && CFileId::Of(current.strFile, &idCurrent) &&
             idNew == idCurrent)) {
            // Nothing changed: the session simply continues (a resume after a
            // pause loses and overwrites nothing). Other settings for the
            // same file would overwrite it: refused, the session goes on.
            return snap.SameSettings(current) ? S_OK : DV_E_SETTINGS_CHANGED;
        }
        // A new file: open the new session first, so that a failure leaves
        // the current recording untouched; then finish the old file.
        std::unique_ptr<CSession> pNew;
        hr = CSession::Open(snap, &pNew);
        if (FAILED(hr)) {
            return hr;
        }
        HRESULT hrOld = S_OK;
        if (m_pSession->Started()) {
            hrOld = m_pSession->Finish();
        }
        m_pSession = std::move(pNew);
        // The rolled-over file's write failure is reported by the next Stop().
        if (FAILED(hrOld) && SUCCEEDED(m_hrDeferred)) {
            m_hrDeferred = hrOld;
        }
        return S_OK;
    }

    HRESULT Start() override { return m_pSession ? m_pSession->Start() : DV_E_NOT_PREPARED; }
    HRESULT Pause() override { return m_pSession ? m_pSession->Pause() : DV_E_NOT_PREPARED; }

    HRESULT Stop() override {
        if (!m_pSession) {
            return DV_E_NOT_PREPARED;
        }
        HRESULT hr = S_OK;
        if (m_pSession->Started()) {
            hr = m_pSession->Finish();
        }
        m_pSession.reset();
        if (SUCCEEDED(hr) && FAILED(m_hrDeferred)) {
            hr = m_hrDeferred;
        }
        m_hrDeferred = S_OK;
        return hr;
    }

private:
    template <class T, class I>
    HRESULT HandNew(I** pp) {
        if (pp == nullptr) {
            return E_POINTER;
        }
        *pp = new (std::nothrow) T(m_pModel);
        return *pp != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT TakeSnapshot(CSnapshot* pSnap) {
        try {
            CLibavGroup* pGroup = nullptr;
            {
                std::lock_guard<std::mutex> lock(m_pModel->mutex);
                pSnap->strFile = port::Utf16ToUtf8(m_pModel->strFile.c_str());
                pSnap->strAuthor = port::Utf16ToUtf8(m_pModel->strAuthor.c_str());
                pSnap->strCopyright = port::Utf16ToUtf8(m_pModel->strCopyright.c_str());
                pSnap->strDescription = port::Utf16ToUtf8(m_pModel->strDescription.c_str());
                pSnap->strRating = port::Utf16ToUtf8(m_pModel->strRating.c_str());
                pSnap->strTitle = port::Utf16ToUtf8(m_pModel->strTitle.c_str());
                pGroup = m_pModel->pGroup;
                if (pGroup != nullptr) {
                    pGroup->AddRef();
                }
            }
            if (pGroup != nullptr) {
                pGroup->Describe(pSnap);
                pGroup->Release();
            }
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    std::shared_ptr<CModel> m_pModel;
    std::unique_ptr<CSession> m_pSession;
    HRESULT m_hrDeferred = S_OK;
};

// ---------------------------------------------------------------- factories

HRESULT CreateEncoder(REFCLSID, DWORD, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    std::shared_ptr<CModel> pModel;
    try {
        pModel = std::make_shared<CModel>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    CLibavEncoder* pEncoder = new (std::nothrow) CLibavEncoder(std::move(pModel));
    if (pEncoder == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = pEncoder->QueryInterface(riid, ppv);
    pEncoder->Release();
    return hr;
}

HRESULT CreateProfile(REFCLSID, DWORD, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    CLibavProfile* pProfile = new (std::nothrow) CLibavProfile;
    if (pProfile == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = pProfile->QueryInterface(riid, ppv);
    static_cast<IWMEncProfile2*>(pProfile)->Release();
    return hr;
}

}  // namespace
}  // namespace libav

bool LibavEngineRegister() {
    libav::InstallLogCallback();
    return RtRegisterClass(CLSID_WMEncoder, libav::CreateEncoder) &&
           RtRegisterClass(CLSID_WMEncProfile2, libav::CreateProfile);
}
