#include "tests/engine/ScriptedEngine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>

#include "encoder/WMEncoder.h"
#include "runtime/ComObject.h"
#include "tests/engine/CallJournal.h"

namespace scripted {
namespace {

// ---------------------------------------------------------------- journal

struct EngineState {
    CCallJournal journal;
    std::mutex mutex;  // guards stopHook
    std::function<void()> stopHook;
};

EngineState& State() {
    static EngineState* pState = new EngineState;  // outlives every engine object
    return *pState;
}

std::atomic<int> g_nLive{0};
// Profiles made since the last Reset, and which of them was last attached.
std::atomic<int> g_nProfiles{0};
std::atomic<int> g_nAttachedProfile{0};

HRESULT Call(const std::string& line) {
    return State().journal.Call(line);
}

std::string Type(WMENC_SOURCE_TYPE enumType) {
    switch (enumType) {
        case WMENC_AUDIO:
            return "audio";
        case WMENC_VIDEO:
            return "video";
        default:
            return std::to_string(static_cast<int32_t>(enumType));
    }
}

// ---------------------------------------------------------------- objects

// The live count and the journal's name for every engine object; the
// reference count is TComObject's.
class CObject {
public:
    CObject() { ++g_nLive; }
    virtual ~CObject() { --g_nLive; }
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
    virtual const char* Role() const = 0;
};

std::string Variant(const VARIANT& var) {
    switch (V_VT(&var)) {
        case VT_I2:
            return "i2:" + std::to_string(V_I2(&var));
        case VT_BOOL:
            return "bool:" + JournalBool(V_BOOL(&var));
        case VT_DISPATCH: {
            const CObject* pObject = dynamic_cast<const CObject*>(V_DISPATCH(&var));
            return std::string("dispatch:") + (pObject != nullptr ? pObject->Role() : "null");
        }
        default:
            return "vt=" + std::to_string(V_VT(&var));
    }
}

#define SCRIPTED_ROLE(name)             \
    const char* Role() const override { \
        return name;                    \
    }

// Hands out a new reference to a held object.
template <class I>
HRESULT Share(I* p, I** pp) {
    p->AddRef();
    *pp = p;
    return S_OK;
}

template <class T>
void ReleaseAll(std::vector<T*>& objects) {
    for (T* p : objects) {
        p->Release();
    }
    objects.clear();
}

class CAudience final : public TComObject<CAudience, IWMEncAudienceObj>, public CObject {
public:
    SCRIPTED_ROLE("Audience")
    static constexpr TInterfaceEntry<CAudience> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncAudienceObj>},
    };
    HRESULT put_VideoBitrate(LONG lStream, LONG l) override {
        return Put("VideoBitrate", lStream, l);
    }
    HRESULT put_VideoHeight(LONG lStream, LONG l) override {
        return Put("VideoHeight", lStream, l);
    }
    HRESULT put_VideoWidth(LONG lStream, LONG l) override { return Put("VideoWidth", lStream, l); }
    HRESULT put_VideoKeyFrameDistance(LONG lStream, LONG l) override {
        return Put("VideoKeyFrameDistance", lStream, l);
    }
    HRESULT put_VideoFPS(LONG lStream, LONG l) override { return Put("VideoFPS", lStream, l); }
    HRESULT put_VideoImageSharpness(LONG lStream, LONG l) override {
        return Put("VideoImageSharpness", lStream, l);
    }

private:
    HRESULT Put(const char* pszName, LONG lStream, LONG lValue) {
        return Call(std::string("Audience.") + pszName + "(" + std::to_string(lStream) +
                    ") = " + std::to_string(lValue));
    }
};

class CProfile final : public TComObject<CProfile, IWMEncProfile2, IWMEncProfile>, public CObject {
public:
    SCRIPTED_ROLE("Profile")
    ~CProfile() override { ReleaseAll(m_audiences); }
    const int m_nSerial = ++g_nProfiles;

    static constexpr TInterfaceEntry<CProfile> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncProfile2>},
        {&IID_IWMEncProfile2, InterfaceOf<IWMEncProfile2>},
        {&IID_IDispatch, InterfaceOf<IDispatch>},
        {&IID_IWMEncProfile, InterfaceOf<IWMEncProfile>},
    };
    // The journal sees the controller ask for the profile's automation interface.
    HRESULT Admit(REFIID riid) {
        return riid == IID_IWMEncProfile ? Call("Profile.QueryInterface(IWMEncProfile)") : S_OK;
    }
#ifdef _WIN32
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
#endif
    HRESULT put_ValidateMode(VARIANT_BOOL b) override {
        return Call("Profile.ValidateMode = " + JournalBool(b));
    }
    HRESULT put_ProfileName(BSTR bstr) override {
        return Call("Profile.ProfileName = " + JournalText(bstr));
    }
    HRESULT put_ProfileDescription(BSTR bstr) override {
        return Call("Profile.ProfileDescription = " + JournalText(bstr));
    }
    HRESULT put_ContentType(LONG l) override {
        return Call("Profile.ContentType = " + std::to_string(l));
    }
    HRESULT put_VBRMode(WMENC_SOURCE_TYPE enumType, LONG lStream,
                        WMENC_PROFILE_VBR_MODE enumMode) override {
        return Call("Profile.VBRMode(" + Type(enumType) + ", " + std::to_string(lStream) +
                    ") = " + std::to_string(static_cast<int32_t>(enumMode)));
    }
    HRESULT AddAudience(LONG lBitrate, IWMEncAudienceObj** ppAudience) override {
        *ppAudience = nullptr;
        HRESULT hr = Call("Profile.AddAudience(" + std::to_string(lBitrate) + ")");
        if (hr != S_OK) {
            return hr;
        }
        m_audiences.push_back(new CAudience);
        return Share<IWMEncAudienceObj>(m_audiences.back(), ppAudience);
    }
    HRESULT Validate() override {
        return Call("Profile.Validate()");
    }

private:
    std::vector<CAudience*> m_audiences;
};

// An audio or a video source; a video source also offers the extended video
// source interface and its property bag, all on one object.
class CSource final : public TComObject<CSource, IWMEncVideoSource2, IPropertyBag>, public CObject {
public:
    explicit CSource(WMENC_SOURCE_TYPE enumType) : m_enumType(enumType) {}
    const char* Role() const override {
        return m_enumType == WMENC_VIDEO ? "VideoSource" : "AudioSource";
    }

    static constexpr TInterfaceEntry<CSource> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncSource>},
        {&IID_IWMEncVideoSource2, InterfaceOf<IWMEncVideoSource2>},
        {&IID_IPropertyBag, InterfaceOf<IPropertyBag>},
    };
    // The journal sees every request for a video interface; only a video
    // source has them.
    HRESULT Admit(REFIID riid) {
        if (riid == IID_IUnknown) {
            return S_OK;
        }
        const char* pszName = riid == IID_IPropertyBag ? "IPropertyBag" : "IWMEncVideoSource2";
        const HRESULT hr = Call(std::string(Role()) + ".QueryInterface(" + pszName + ")");
        if (hr != S_OK) {
            return hr;
        }
        return m_enumType == WMENC_VIDEO ? S_OK : E_NOINTERFACE;
    }
    HRESULT SetInput(BSTR bstrInput, BSTR bstrScheme, BSTR bstrInitData) override {
        return Call(std::string(Role()) + ".SetInput(" + JournalText(bstrInput) + ", " +
                    JournalText(bstrScheme) + ", " + JournalText(bstrInitData) + ")");
    }
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR, VARIANT*, IErrorLog*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR pszPropName, VARIANT* pVar) override {
        return Call(std::string(Role()) + ".Write(" + JournalText(pszPropName) + ", " +
                    (pVar != nullptr ? Variant(*pVar) : "null") + ")");
    }

private:
    const WMENC_SOURCE_TYPE m_enumType;
};

class CGroup final : public TComObject<CGroup, IWMEncSourceGroup>, public CObject {
public:
    SCRIPTED_ROLE("Group")
    ~CGroup() override {
        ReleaseAll(m_audio);
        ReleaseAll(m_video);
        if (m_pProfile != nullptr) {
            m_pProfile->Release();
        }
    }

    static constexpr TInterfaceEntry<CGroup> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncSourceGroup>},
    };
    HRESULT get_SourceCount(WMENC_SOURCE_TYPE enumType, SHORT* pnCount) override {
        HRESULT hr = Call("Group.SourceCount(" + Type(enumType) + ")");
        std::vector<CSource*>* pSources = Sources(enumType);
        if (hr != S_OK || pSources == nullptr) {
            return hr != S_OK ? hr : E_INVALIDARG;
        }
        *pnCount = static_cast<SHORT>(pSources->size());
        return S_OK;
    }
    HRESULT RemoveSource(WMENC_SOURCE_TYPE enumType, VARIANT varIndex) override {
        HRESULT hr = Call("Group.RemoveSource(" + Type(enumType) + ", " + Variant(varIndex) + ")");
        std::vector<CSource*>* pSources = Sources(enumType);
        if (hr != S_OK || pSources == nullptr) {
            return hr != S_OK ? hr : E_INVALIDARG;
        }
        if (V_VT(&varIndex) != VT_I2 || V_I2(&varIndex) < 0 ||
            static_cast<size_t>(V_I2(&varIndex)) >= pSources->size()) {
            return E_INVALIDARG;
        }
        (*pSources)[V_I2(&varIndex)]->Release();
        pSources->erase(pSources->begin() + V_I2(&varIndex));
        return S_OK;
    }
    HRESULT AddSource(WMENC_SOURCE_TYPE enumType, IWMEncSource** ppSource) override {
        *ppSource = nullptr;
        HRESULT hr = Call("Group.AddSource(" + Type(enumType) + ")");
        std::vector<CSource*>* pSources = Sources(enumType);
        if (hr != S_OK || pSources == nullptr) {
            return hr != S_OK ? hr : E_INVALIDARG;
        }
        pSources->push_back(new CSource(enumType));
        return Share<IWMEncSource>(pSources->back(), ppSource);
    }
    HRESULT put_Profile(VARIANT varProfile) override {
        HRESULT hr = Call("Group.Profile = " + Variant(varProfile));
        if (hr != S_OK) {
            return hr;
        }
        if (V_VT(&varProfile) != VT_DISPATCH || V_DISPATCH(&varProfile) == nullptr) {
            return DISP_E_TYPEMISMATCH;
        }
        V_DISPATCH(&varProfile)->AddRef();
        const CProfile* pProfile = dynamic_cast<const CProfile*>(V_DISPATCH(&varProfile));
        g_nAttachedProfile = pProfile != nullptr ? pProfile->m_nSerial : -1;
        if (m_pProfile != nullptr) {
            m_pProfile->Release();
        }
        m_pProfile = V_DISPATCH(&varProfile);
        return S_OK;
    }

private:
    std::vector<CSource*>* Sources(WMENC_SOURCE_TYPE enumType) {
        return enumType == WMENC_AUDIO ? &m_audio : enumType == WMENC_VIDEO ? &m_video : nullptr;
    }

    std::vector<CSource*> m_audio;
    std::vector<CSource*> m_video;
    IDispatch* m_pProfile = nullptr;
};

class CCollection final : public TComObject<CCollection, IWMEncSourceGroupCollection>,
                          public CObject {
public:
    SCRIPTED_ROLE("Collection")
    ~CCollection() override {
        if (m_pGroup != nullptr) {
            m_pGroup->Release();
        }
    }

    static constexpr TInterfaceEntry<CCollection> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncSourceGroupCollection>},
    };
    HRESULT Add(BSTR bstrName, IWMEncSourceGroup** ppGroup) override {
        *ppGroup = nullptr;
        HRESULT hr = Call("Collection.Add(" + JournalText(bstrName) + ")");
        if (hr != S_OK) {
            return hr;
        }
        // One group is modelled: a new one takes the old one's place.
        if (m_pGroup != nullptr) {
            m_pGroup->Release();
        }
        m_pGroup = new CGroup;
        return Share<IWMEncSourceGroup>(m_pGroup, ppGroup);
    }
    HRESULT get_Active(IWMEncSourceGroup** ppGroup) override {
        *ppGroup = nullptr;
        HRESULT hr = Call("Collection.Active");
        if (hr != S_OK) {
            return hr;
        }
        return m_pGroup != nullptr ? Share<IWMEncSourceGroup>(m_pGroup, ppGroup) : E_UNEXPECTED;
    }

private:
    CGroup* m_pGroup = nullptr;
};

class CFile final : public TComObject<CFile, IWMEncFile>, public CObject {
public:
    SCRIPTED_ROLE("File")
    static constexpr TInterfaceEntry<CFile> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncFile>},
    };
    HRESULT put_LocalFileName(BSTR bstr) override {
        return Call("File.LocalFileName = " + JournalText(bstr));
    }
};

class CDisplayInfo final : public TComObject<CDisplayInfo, IWMEncDisplayInfo>, public CObject {
public:
    SCRIPTED_ROLE("DisplayInfo")
    static constexpr TInterfaceEntry<CDisplayInfo> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncDisplayInfo>},
    };
    HRESULT put_Author(BSTR bstr) override {
        return Call("DisplayInfo.Author = " + JournalText(bstr));
    }
    HRESULT put_Copyright(BSTR bstr) override {
        return Call("DisplayInfo.Copyright = " + JournalText(bstr));
    }
    HRESULT put_Description(BSTR bstr) override {
        return Call("DisplayInfo.Description = " + JournalText(bstr));
    }
    HRESULT put_Rating(BSTR bstr) override {
        return Call("DisplayInfo.Rating = " + JournalText(bstr));
    }
    HRESULT put_Title(BSTR bstr) override {
        return Call("DisplayInfo.Title = " + JournalText(bstr));
    }
};

// Holds its collection, file and display information from their first use.
class CEncoder final : public TComObject<CEncoder, IWMEncoder>, public CObject {
public:
    SCRIPTED_ROLE("Encoder")
    ~CEncoder() override {
        for (IUnknown* p : {static_cast<IUnknown*>(m_pCollection), static_cast<IUnknown*>(m_pFile),
                            static_cast<IUnknown*>(m_pDisplayInfo)}) {
            if (p != nullptr) {
                p->Release();
            }
        }
    }

    static constexpr TInterfaceEntry<CEncoder> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncoder>},
        {&IID_IWMEncoder, InterfaceOf<IWMEncoder>},
    };
    HRESULT get_SourceGroupCollection(IWMEncSourceGroupCollection** pp) override {
        return Child("Encoder.SourceGroupCollection", m_pCollection, pp);
    }
    HRESULT get_File(IWMEncFile** pp) override { return Child("Encoder.File", m_pFile, pp); }
    HRESULT get_DisplayInfo(IWMEncDisplayInfo** pp) override {
        return Child("Encoder.DisplayInfo", m_pDisplayInfo, pp);
    }
    HRESULT PrepareToEncode(VARIANT_BOOL b) override {
        return Call("Encoder.PrepareToEncode(" + JournalBool(b) + ")");
    }
    HRESULT Start() override { return Call("Encoder.Start()"); }
    HRESULT Pause() override { return Call("Encoder.Pause()"); }
    HRESULT Stop() override {
        HRESULT hr = Call("Encoder.Stop()");
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> guard(State().mutex);
            hook = State().stopHook;
        }
        if (hook) {
            hook();
        }
        return hr;
    }

private:
    template <class T, class I>
    HRESULT Child(const char* pszLine, T*& pChild, I** pp) {
        *pp = nullptr;
        HRESULT hr = Call(pszLine);
        if (hr != S_OK) {
            return hr;
        }
        if (pChild == nullptr) {
            pChild = new T;
        }
        return Share<I>(pChild, pp);
    }

    CCollection* m_pCollection = nullptr;
    CFile* m_pFile = nullptr;
    CDisplayInfo* m_pDisplayInfo = nullptr;
};

// Creation: the line is journalled first, so an injected failure creates
// nothing. Only in-process creation is offered, as the platform's would.
template <class T>
HRESULT Create(const char* pszLine, DWORD dwClsContext, REFIID riid, void** ppv) {
    *ppv = nullptr;
    HRESULT hr = Call(pszLine);
    if (hr != S_OK) {
        return hr;
    }
    if (dwClsContext != CLSCTX_INPROC_SERVER) {
        return E_INVALIDARG;
    }
    T* pObject = new T;
    hr = pObject->QueryInterface(riid, ppv);
    pObject->Release();
    return hr;
}

HRESULT CreateEncoder(REFCLSID, DWORD dwClsContext, REFIID riid, void** ppv) {
    return Create<CEncoder>("new Encoder", dwClsContext, riid, ppv);
}

HRESULT CreateProfile(REFCLSID, DWORD dwClsContext, REFIID riid, void** ppv) {
    return Create<CProfile>("new Profile", dwClsContext, riid, ppv);
}

}  // namespace

void Register() {
    RtRegisterClass(CLSID_WMEncoder, CreateEncoder);
    RtRegisterClass(CLSID_WMEncProfile2, CreateProfile);
}

void Unregister() {
    RtRevokeClass(CLSID_WMEncoder);
    RtRevokeClass(CLSID_WMEncProfile2);
}

void Reset() {
    EngineState& state = State();
    state.journal.Reset();
    g_nProfiles = 0;
    g_nAttachedProfile = 0;
    std::lock_guard<std::mutex> guard(state.mutex);
    state.stopHook = nullptr;
}

std::vector<std::string> Journal() {
    return State().journal.Lines();
}

void FailNth(const std::string& op, int n, HRESULT hr) {
    State().journal.FailNth(op, n, hr);
}

int AttachedProfile() {
    return g_nAttachedProfile.load();
}

int LiveObjects() {
    return g_nLive.load();
}

void SetStopHook(std::function<void()> hook) {
    EngineState& state = State();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.stopHook = std::move(hook);
}

}  // namespace scripted
