// A stand-in for the platform's encoder automation objects: an in-process COM
// server registered in the test prefix under the encoder and profile class
// ids. Its objects offer their members only by name through IDispatch, as an
// automation client sees them, and check the shape of every call (flags,
// argument count and types, the named argument of a property put). Each call
// is journalled in the format of tests/journals/README.md, so the library's
// adapter is held to the same expected journals as the scripted engine. A
// member that fails answers DISP_E_EXCEPTION with the status in the exception
// record, as a dual interface's dispatch does, or on request the status
// itself, as a hand-written dispatch may. Further modes (StandinServer.h)
// take the other dispatch kind of two members and answer success without an
// object.
//
// The test reaches the journal, the failure injection and the live-object
// count through the Standin* exports, loading this same DLL by path.
#include "tests/windows/StandinServer.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "encoder/WMEncoder.h"
#include "tests/engine/CallJournal.h"

namespace {

// Asked of a dispatch argument to learn whether it is one of ours.
const IID IID_CStandinObject = {
    0x2b7c9e41, 0x0d3f, 0x4a8e, {0x86, 0x5b, 0xe1, 0x0c, 0x4d, 0x92, 0x37, 0xa6}};

// ---------------------------------------------------------------- journal

CCallJournal& Journal() {
    static CCallJournal* pJournal = new CCallJournal;  // outlives every object
    return *pJournal;
}

std::atomic<long> g_nLive{0};
std::atomic<long> g_nLocks{0};
std::atomic<unsigned> g_dwModes{0};

bool Mode(unsigned dwMode) {
    return (g_dwModes & dwMode) != 0;
}

HRESULT Call(const std::string& line) {
    return Journal().Call(line);
}

std::string Type(LONG l) {
    return l == WMENC_AUDIO ? "audio" : l == WMENC_VIDEO ? "video" : std::to_string(l);
}

// ---------------------------------------------------------------- members

enum Role {
    kEncoder,
    kCollection,
    kGroup,
    kAudioSource,
    kVideoSource,
    kProfile,
    kAudience,
    kFile,
    kDisplayInfo
};

const char* const kRoleNames[] = {"Encoder", "Collection", "Group", "AudioSource", "VideoSource",
                                  "Profile", "Audience",   "File",  "DisplayInfo"};

// How an argument is checked and journalled.
enum ArgKind { kText, kBool, kLong, kSourceType, kAnyVariant };

struct Member {
    Role role;
    const wchar_t* pszName;
    WORD wFlags;  // as journalled; the kind accepted unless strict
    // Arguments in call order; for a property put the value is last.
    std::vector<ArgKind> args;
    WORD wStrictFlags = 0;  // the only kind accepted when strict, if any

    WORD Accepted() const {
        return wStrictFlags != 0 && Mode(STANDIN_STRICT) ? wStrictFlags : wFlags;
    }
};

const std::vector<Member>& Members() {
    static const std::vector<Member> members = {
        {kEncoder, L"SourceGroupCollection", DISPATCH_PROPERTYGET, {}},
        {kEncoder, L"File", DISPATCH_PROPERTYGET, {}},
        {kEncoder, L"DisplayInfo", DISPATCH_PROPERTYGET, {}},
        {kEncoder, L"PrepareToEncode", DISPATCH_METHOD, {kBool}},
        {kEncoder, L"Start", DISPATCH_METHOD, {}},
        {kEncoder, L"Pause", DISPATCH_METHOD, {}},
        {kEncoder, L"Stop", DISPATCH_METHOD, {}},
        {kCollection, L"Add", DISPATCH_METHOD, {kText}},
        {kCollection, L"Active", DISPATCH_PROPERTYGET, {}},
        {kGroup, L"SourceCount", DISPATCH_PROPERTYGET, {kSourceType}},
        {kGroup, L"RemoveSource", DISPATCH_METHOD, {kSourceType, kAnyVariant}},
        {kGroup, L"AddSource", DISPATCH_METHOD, {kSourceType}},
        {kGroup, L"Profile", DISPATCH_PROPERTYPUT, {kAnyVariant}, DISPATCH_PROPERTYPUTREF},
        {kAudioSource, L"SetInput", DISPATCH_METHOD, {kText, kText, kText}},
        {kVideoSource, L"SetInput", DISPATCH_METHOD, {kText, kText, kText}},
        {kProfile, L"ValidateMode", DISPATCH_PROPERTYPUT, {kBool}},
        {kProfile, L"ProfileName", DISPATCH_PROPERTYPUT, {kText}},
        {kProfile, L"ProfileDescription", DISPATCH_PROPERTYPUT, {kText}},
        {kProfile, L"ContentType", DISPATCH_PROPERTYPUT, {kLong}},
        {kProfile, L"VBRMode", DISPATCH_PROPERTYPUT, {kSourceType, kLong, kLong}, DISPATCH_METHOD},
        {kProfile, L"AddAudience", DISPATCH_METHOD, {kLong}},
        {kProfile, L"Validate", DISPATCH_METHOD, {}},
        {kAudience, L"VideoBitrate", DISPATCH_PROPERTYPUT, {kLong, kLong}},
        {kAudience, L"VideoHeight", DISPATCH_PROPERTYPUT, {kLong, kLong}},
        {kAudience, L"VideoWidth", DISPATCH_PROPERTYPUT, {kLong, kLong}},
        {kAudience, L"VideoKeyFrameDistance", DISPATCH_PROPERTYPUT, {kLong, kLong}},
        {kAudience, L"VideoFPS", DISPATCH_PROPERTYPUT, {kLong, kLong}},
        {kAudience, L"VideoImageSharpness", DISPATCH_PROPERTYPUT, {kLong, kLong}},
        {kFile, L"LocalFileName", DISPATCH_PROPERTYPUT, {kText}},
        {kDisplayInfo, L"Author", DISPATCH_PROPERTYPUT, {kText}},
        {kDisplayInfo, L"Copyright", DISPATCH_PROPERTYPUT, {kText}},
        {kDisplayInfo, L"Description", DISPATCH_PROPERTYPUT, {kText}},
        {kDisplayInfo, L"Rating", DISPATCH_PROPERTYPUT, {kText}},
        {kDisplayInfo, L"Title", DISPATCH_PROPERTYPUT, {kText}},
    };
    return members;
}

std::string Narrow(const wchar_t* pwsz) {
    std::string text;
    for (; *pwsz != 0; ++pwsz) {
        text += static_cast<char>(*pwsz);
    }
    return text;
}

// An injected status for a call that hands back an object: the call hands
// back none, and in the empty mode a success says S_OK.
HRESULT NoObject(HRESULT hr) {
    return SUCCEEDED(hr) && Mode(STANDIN_EMPTY) ? S_OK : hr;
}

// ---------------------------------------------------------------- objects

// One engine object of any role. A video source also offers the extended
// video-source interface and its property bag, all on one object.
class CStandinObject final : public IDispatch, public IPropertyBag {
public:
    explicit CStandinObject(Role role) : m_role(role) { ++g_nLive; }
    ~CStandinObject() {
        for (CStandinObject* p : m_children) {
            p->Release();
        }
        ReleaseAll(m_audio);
        ReleaseAll(m_video);
        if (m_pProfile != nullptr) {
            m_pProfile->Release();
        }
        --g_nLive;
    }
    CStandinObject(const CStandinObject&) = delete;
    CStandinObject& operator=(const CStandinObject&) = delete;

    const char* RoleName() const { return kRoleNames[m_role]; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IDispatch) ||
            IsEqualGUID(riid, IID_CStandinObject) ||
            (m_role == kEncoder && IsEqualGUID(riid, IID_IWMEncoder)) ||
            (m_role == kProfile && IsEqualGUID(riid, IID_IWMEncProfile2))) {
            return Give(static_cast<IDispatch*>(this), ppv);
        }
        const char* pszName = nullptr;
        if (m_role == kProfile && IsEqualGUID(riid, IID_IWMEncProfile)) {
            pszName = "IWMEncProfile";
        } else if ((m_role == kAudioSource || m_role == kVideoSource) &&
                   IsEqualGUID(riid, IID_IWMEncVideoSource2)) {
            pszName = "IWMEncVideoSource2";
        } else if ((m_role == kAudioSource || m_role == kVideoSource) &&
                   IsEqualGUID(riid, IID_IPropertyBag)) {
            pszName = "IPropertyBag";
        } else {
            return E_NOINTERFACE;
        }
        HRESULT hr = Call(std::string(RoleName()) + ".QueryInterface(" + pszName + ")");
        if (hr != S_OK) {
            return NoObject(hr);
        }
        if (m_role == kAudioSource) {
            return E_NOINTERFACE;
        }
        if (IsEqualGUID(riid, IID_IPropertyBag)) {
            return Give(static_cast<IPropertyBag*>(this), ppv);
        }
        return Give(static_cast<IDispatch*>(this), ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_cRef; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG cRef = --m_cRef;
        if (cRef == 0) {
            delete this;
        }
        return cRef;
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo != nullptr) {
            *pctinfo = 0;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (ppTInfo != nullptr) {
            *ppTInfo = nullptr;
        }
        return DISP_E_BADINDEX;
    }
    // Names are matched without regard to case, as automation does.
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID,
                                            DISPID* rgDispId) override {
        if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) {
            return E_INVALIDARG;
        }
        const std::vector<Member>& members = Members();
        HRESULT hr = S_OK;
        for (UINT i = 0; i < cNames; ++i) {
            rgDispId[i] = DISPID_UNKNOWN;
        }
        for (size_t i = 0; i < members.size(); ++i) {
            if (members[i].role == m_role && _wcsicmp(members[i].pszName, rgszNames[0]) == 0) {
                rgDispId[0] = static_cast<DISPID>(i + 1);
            }
        }
        if (rgDispId[0] == DISPID_UNKNOWN || cNames > 1) {
            hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID, LCID, WORD wFlags, DISPPARAMS* pParams,
                                     VARIANT* pResult, EXCEPINFO* pExcep, UINT*) override {
        const std::vector<Member>& members = Members();
        if (dispid < 1 || static_cast<size_t>(dispid) > members.size() ||
            members[dispid - 1].role != m_role) {
            return DISP_E_MEMBERNOTFOUND;
        }
        const Member& member = members[dispid - 1];
        const std::string name = std::string(RoleName()) + "." + Narrow(member.pszName);
        if (wFlags != member.Accepted() && member.wStrictFlags != 0) {
            // Not called that way here: what a dispatch answers to the
            // wrong kind of a member.
            return DISP_E_MEMBERNOTFOUND;
        }
        std::vector<VARIANT*> args;
        if (!CheckCall(member, wFlags, pParams, &args)) {
            // A call of the wrong shape shows in the journal as such.
            Call(name + " called with the wrong flags or arguments");
            return DISP_E_TYPEMISMATCH;
        }
        if (pResult != nullptr) {
            VariantInit(pResult);
        }
        HRESULT hr = Call(JournalLine(member, name, args));
        if (hr == S_OK) {
            hr = Perform(member, args, pResult);
        } else if (pResult != nullptr && member.pszName != std::wstring(L"SourceCount")) {
            hr = NoObject(hr);
        }
        if (FAILED(hr) && pExcep != nullptr && !Mode(STANDIN_DIRECT)) {
            *pExcep = EXCEPINFO();
            pExcep->scode = hr;
            pExcep->bstrSource = SysAllocString(L"deskvid stand-in encoder");
            return DISP_E_EXCEPTION;
        }
        return hr;
    }

    // IPropertyBag
    HRESULT STDMETHODCALLTYPE Read(LPCOLESTR, VARIANT*, IErrorLog*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Write(LPCOLESTR pszPropName, VARIANT* pVar) override {
        return Call(std::string(RoleName()) + ".Write(" + JournalText(pszPropName) + ", " +
                    (pVar != nullptr ? Variant(*pVar) : "null") + ")");
    }

private:
    template <class I>
    HRESULT Give(I* p, void** ppv) {
        p->AddRef();
        *ppv = p;
        return S_OK;
    }
    static void ReleaseAll(std::vector<CStandinObject*>& objects) {
        for (CStandinObject* p : objects) {
            p->Release();
        }
        objects.clear();
    }

    static std::string Variant(const VARIANT& var) {
        switch (V_VT(&var)) {
            case VT_I2:
                return "i2:" + std::to_string(V_I2(&var));
            case VT_BOOL:
                return "bool:" + JournalBool(V_BOOL(&var));
            case VT_DISPATCH: {
                IDispatch* pDispatch = V_DISPATCH(&var);
                if (pDispatch == nullptr) {
                    return "dispatch:null";
                }
                CStandinObject* pObject = nullptr;
                if (FAILED(pDispatch->QueryInterface(IID_CStandinObject,
                                                     reinterpret_cast<void**>(&pObject)))) {
                    return "dispatch:foreign";
                }
                std::string text = std::string("dispatch:") + pObject->RoleName();
                pObject->Release();
                return text;
            }
            default:
                return "vt=" + std::to_string(V_VT(&var));
        }
    }

    static bool CheckArg(ArgKind kind, const VARIANT* pArg) {
        switch (kind) {
            case kText:
                return V_VT(pArg) == VT_BSTR;
            case kBool:
                return V_VT(pArg) == VT_BOOL;
            case kLong:
            case kSourceType:
                return V_VT(pArg) == VT_I4;
            case kAnyVariant:
                return true;
        }
        return false;
    }

    // The exact shape an automation client gives the member; args receives
    // the arguments in call order.
    static bool CheckCall(const Member& member, WORD wFlags, const DISPPARAMS* pParams,
                          std::vector<VARIANT*>* pArgs) {
        if (wFlags != member.Accepted() || pParams == nullptr ||
            pParams->cArgs != member.args.size()) {
            return false;
        }
        const UINT nNamed =
            wFlags == DISPATCH_PROPERTYPUT || wFlags == DISPATCH_PROPERTYPUTREF ? 1 : 0;
        if (pParams->cNamedArgs != nNamed ||
            (nNamed == 1 && (pParams->rgdispidNamedArgs == nullptr ||
                             pParams->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT))) {
            return false;
        }
        for (UINT i = 0; i < pParams->cArgs; ++i) {
            VARIANT* pArg = &pParams->rgvarg[pParams->cArgs - 1 - i];
            if (!CheckArg(member.args[i], pArg)) {
                return false;
            }
            pArgs->push_back(pArg);
        }
        return true;
    }

    static std::string Format(ArgKind kind, const VARIANT* pArg) {
        switch (kind) {
            case kText:
                return JournalText(V_BSTR(pArg));
            case kBool:
                return JournalBool(V_BOOL(pArg));
            case kLong:
                return std::to_string(V_I4(pArg));
            case kSourceType:
                return Type(V_I4(pArg));
            case kAnyVariant:
                return Variant(*pArg);
        }
        return "?";
    }

    static std::string JournalLine(const Member& member, const std::string& name,
                                   const std::vector<VARIANT*>& args) {
        std::string line = name;
        size_t nIndexed = args.size();
        if (member.wFlags == DISPATCH_PROPERTYPUT) {
            --nIndexed;  // the value follows " = "
        }
        if (member.wFlags == DISPATCH_METHOD || nIndexed > 0) {
            line += '(';
            for (size_t i = 0; i < nIndexed; ++i) {
                line += (i > 0 ? ", " : "") + Format(member.args[i], args[i]);
            }
            line += ')';
        }
        if (member.wFlags == DISPATCH_PROPERTYPUT) {
            line += " = " + Format(member.args.back(), args.back());
        }
        return line;
    }

    static HRESULT Hand(CStandinObject* pObject, VARIANT* pResult) {
        if (pResult == nullptr) {
            return S_OK;
        }
        pObject->AddRef();
        V_VT(pResult) = VT_DISPATCH;
        V_DISPATCH(pResult) = pObject;
        return S_OK;
    }

    // A child held from its first use (the encoder's collection, file and
    // display information).
    HRESULT HandChild(Role role, VARIANT* pResult) {
        for (CStandinObject* p : m_children) {
            if (p->m_role == role) {
                return Hand(p, pResult);
            }
        }
        CStandinObject* pChild = new (std::nothrow) CStandinObject(role);
        if (pChild == nullptr) {
            return E_OUTOFMEMORY;
        }
        m_children.push_back(pChild);
        return Hand(pChild, pResult);
    }

    std::vector<CStandinObject*>* Sources(LONG lType) {
        return lType == WMENC_AUDIO ? &m_audio : lType == WMENC_VIDEO ? &m_video : nullptr;
    }

    // What a successful call does.
    HRESULT Perform(const Member& member, const std::vector<VARIANT*>& args, VARIANT* pResult) {
        const std::wstring name = member.pszName;
        if (m_role == kEncoder && name == L"SourceGroupCollection") {
            return HandChild(kCollection, pResult);
        }
        if (m_role == kEncoder && name == L"File") {
            return HandChild(kFile, pResult);
        }
        if (m_role == kEncoder && name == L"DisplayInfo") {
            return HandChild(kDisplayInfo, pResult);
        }
        if (m_role == kCollection && name == L"Add") {
            // One group is modelled: a new one takes the old one's place.
            ReleaseAll(m_children);
            return HandChild(kGroup, pResult);
        }
        if (m_role == kCollection && name == L"Active") {
            return m_children.empty() ? E_UNEXPECTED : Hand(m_children.front(), pResult);
        }
        if (m_role == kGroup) {
            return PerformGroup(name, args, pResult);
        }
        if (m_role == kProfile && name == L"AddAudience") {
            CStandinObject* pAudience = new (std::nothrow) CStandinObject(kAudience);
            if (pAudience == nullptr) {
                return E_OUTOFMEMORY;
            }
            m_children.push_back(pAudience);
            return Hand(pAudience, pResult);
        }
        return S_OK;
    }

    HRESULT PerformGroup(const std::wstring& name, const std::vector<VARIANT*>& args,
                         VARIANT* pResult) {
        if (name == L"Profile") {
            const VARIANT* pVar = args[0];
            if (V_VT(pVar) != VT_DISPATCH || V_DISPATCH(pVar) == nullptr) {
                return DISP_E_TYPEMISMATCH;
            }
            V_DISPATCH(pVar)->AddRef();
            if (m_pProfile != nullptr) {
                m_pProfile->Release();
            }
            m_pProfile = V_DISPATCH(pVar);
            return S_OK;
        }
        std::vector<CStandinObject*>* pSources = Sources(V_I4(args[0]));
        if (pSources == nullptr) {
            return E_INVALIDARG;
        }
        if (name == L"SourceCount") {
            if (pResult != nullptr) {
                V_VT(pResult) = VT_I2;
                V_I2(pResult) = static_cast<SHORT>(pSources->size());
            }
            return S_OK;
        }
        if (name == L"RemoveSource") {
            const VARIANT* pIndex = args[1];
            if (V_VT(pIndex) != VT_I2 || V_I2(pIndex) < 0 ||
                static_cast<size_t>(V_I2(pIndex)) >= pSources->size()) {
                return E_INVALIDARG;
            }
            (*pSources)[V_I2(pIndex)]->Release();
            pSources->erase(pSources->begin() + V_I2(pIndex));
            return S_OK;
        }
        // AddSource
        CStandinObject* pSource = new (std::nothrow)
            CStandinObject(V_I4(args[0]) == WMENC_AUDIO ? kAudioSource : kVideoSource);
        if (pSource == nullptr) {
            return E_OUTOFMEMORY;
        }
        pSources->push_back(pSource);
        return Hand(pSource, pResult);
    }

    const Role m_role;
    std::atomic<ULONG> m_cRef{1};
    std::vector<CStandinObject*> m_children;
    std::vector<CStandinObject*> m_audio;
    std::vector<CStandinObject*> m_video;
    IDispatch* m_pProfile = nullptr;
};

// ---------------------------------------------------------------- factory

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(Role role) : m_role(role) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
            AddRef();
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    // Static factories: their lifetime is the module's.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    // Creation is journalled first, so an injected failure creates nothing.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (pOuter != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        HRESULT hr = Call(std::string("new ") + kRoleNames[m_role]);
        if (hr != S_OK) {
            return NoObject(hr);
        }
        CStandinObject* pObject = new (std::nothrow) CStandinObject(m_role);
        if (pObject == nullptr) {
            return E_OUTOFMEMORY;
        }
        hr = pObject->QueryInterface(riid, ppv);
        pObject->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL bLock) override {
        g_nLocks += bLock ? 1 : -1;
        return S_OK;
    }

private:
    const Role m_role;
};

CClassFactory g_encoderFactory(kEncoder);
CClassFactory g_profileFactory(kProfile);

}  // namespace

extern "C" {

STANDIN_API HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (IsEqualGUID(clsid, CLSID_WMEncoder)) {
        return g_encoderFactory.QueryInterface(riid, ppv);
    }
    if (IsEqualGUID(clsid, CLSID_WMEncProfile2)) {
        return g_profileFactory.QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STANDIN_API HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return g_nLive == 0 && g_nLocks == 0 ? S_OK : S_FALSE;
}

void StandinReset() {
    Journal().Reset();
    g_dwModes = 0;
}

void StandinSetModes(unsigned dwModes) {
    g_dwModes = dwModes;
}

const char* StandinTakeJournal() {
    // Valid until the next call: the test copies it at once.
    static std::string taken;
    taken = Journal().TakeText();
    return taken.c_str();
}

void StandinFailNth(const char* pszOp, int n, HRESULT hr) {
    Journal().FailNth(pszOp, n, hr);
}

long StandinLiveObjects() {
    return g_nLive.load();
}

}  // extern "C"
