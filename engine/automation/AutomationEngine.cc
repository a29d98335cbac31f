// Adapter from the engine interface onto the platform's encoder automation
// objects. Each wrapper holds one reference to the system object's IDispatch
// and calls its members by name (GetIDsOfNames + Invoke) with real BSTRs and
// VARIANTs. Statuses come back unchanged, including those that an automation
// object reports through an exception record.
#include "engine/automation/AutomationEngine.h"

#include <new>

#include "encoder/WMEncoder.h"

namespace {

// Identifies our own wrappers, so that a wrapped object handed back to the
// engine (the profile in a source group's Profile) is unwrapped to the system
// object before it reaches the system. Never leaves this process's adapter.
const IID IID_CAutomationObject = {
    0x6d1f2c3a, 0x8e47, 0x4b59, {0x9a, 0x0c, 0x51, 0x3e, 0x77, 0xd2, 0x40, 0x1b}};

constexpr UINT kMaxArgs = 4;

// Turns what Invoke returned into the member's own status: an automation
// object reports a failing member as DISP_E_EXCEPTION with the status in the
// exception record.
HRESULT TakeExceptionStatus(HRESULT hr, EXCEPINFO* pExcep) {
    if (hr == DISP_E_EXCEPTION) {
        if (pExcep->pfnDeferredFillIn != nullptr) {
            pExcep->pfnDeferredFillIn(pExcep);
        }
        if (FAILED(pExcep->scode)) {
            hr = pExcep->scode;
        }
    }
    SysFreeString(pExcep->bstrSource);
    SysFreeString(pExcep->bstrDescription);
    SysFreeString(pExcep->bstrHelpFile);
    return hr;
}

// Calls the member pszName of pDispatch. rgArgs are in call order (the
// property value last for a put); pResult, when given, receives the result.
HRESULT CallMember(IDispatch* pDispatch, const OLECHAR* pszName, WORD wFlags, const VARIANT* rgArgs,
                   UINT nArgs, VARIANT* pResult) {
    if (nArgs > kMaxArgs) {
        return E_INVALIDARG;
    }
    LPOLESTR pszMember = const_cast<LPOLESTR>(pszName);
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = pDispatch->GetIDsOfNames(IID_NULL, &pszMember, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) {
        return hr;
    }
    // Invoke takes its arguments last to first. They are borrowed, not copied:
    // the caller keeps ownership of every BSTR and object they hold.
    VARIANT rgReversed[kMaxArgs];
    for (UINT i = 0; i < nArgs; ++i) {
        rgReversed[i] = rgArgs[nArgs - 1 - i];
    }
    DISPID dispidPut = DISPID_PROPERTYPUT;
    DISPPARAMS params = {};
    params.rgvarg = nArgs > 0 ? rgReversed : nullptr;
    params.cArgs = nArgs;
    if (wFlags == DISPATCH_PROPERTYPUT || wFlags == DISPATCH_PROPERTYPUTREF) {
        params.rgdispidNamedArgs = &dispidPut;
        params.cNamedArgs = 1;
    }
    EXCEPINFO excep = {};
    UINT uArgErr = 0;
    hr = pDispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, wFlags, &params, pResult, &excep,
                           &uArgErr);
    return TakeExceptionStatus(hr, &excep);
}

VARIANT MakeI4(LONG l) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = l;
    return v;
}

VARIANT MakeBool(VARIANT_BOOL b) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = b;
    return v;
}

VARIANT MakeBstr(BSTR bstr) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = bstr;
    return v;
}

HRESULT PutProperty(IDispatch* pDispatch, const OLECHAR* pszName, VARIANT value) {
    return CallMember(pDispatch, pszName, DISPATCH_PROPERTYPUT, &value, 1, nullptr);
}

// For members whose dispatch kind the automation objects do not pin down:
// the usual kind first, and the other once when the object says the member
// is not called that way.
HRESULT CallEitherKind(IDispatch* pDispatch, const OLECHAR* pszName, WORD wFlags, WORD wOtherFlags,
                       const VARIANT* rgArgs, UINT nArgs) {
    HRESULT hr = CallMember(pDispatch, pszName, wFlags, rgArgs, nArgs, nullptr);
    if (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT) {
        hr = CallMember(pDispatch, pszName, wOtherFlags, rgArgs, nArgs, nullptr);
    }
    return hr;
}

// A per-stream property put: Name(stream) = value.
HRESULT PutStreamProperty(IDispatch* pDispatch, const OLECHAR* pszName, LONG lStream, LONG lValue) {
    VARIANT rgArgs[2] = {MakeI4(lStream), MakeI4(lValue)};
    return CallMember(pDispatch, pszName, DISPATCH_PROPERTYPUT, rgArgs, 2, nullptr);
}

// Moves the object out of a member's result into *ppDispatch (one reference).
// A result that holds no object at all leaves *ppDispatch null with success:
// the caller decides what a success without an object means.
HRESULT TakeDispatch(VARIANT* pResult, IDispatch** ppDispatch) {
    *ppDispatch = nullptr;
    HRESULT hr = S_OK;
    if (V_VT(pResult) == VT_DISPATCH && V_DISPATCH(pResult) != nullptr) {
        *ppDispatch = V_DISPATCH(pResult);
        V_VT(pResult) = VT_EMPTY;
    } else if (V_VT(pResult) == VT_UNKNOWN && V_UNKNOWN(pResult) != nullptr) {
        hr =
            V_UNKNOWN(pResult)->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppDispatch));
    } else if (V_VT(pResult) != VT_EMPTY && V_VT(pResult) != VT_NULL &&
               V_VT(pResult) != VT_DISPATCH && V_VT(pResult) != VT_UNKNOWN) {
        hr = E_UNEXPECTED;  // something other than an object
    }
    VariantClear(pResult);
    return hr;
}

// Calls a member that yields an object and wraps the object in TWrapper.
template <class TWrapper, class TInterface>
HRESULT CallForObject(IDispatch* pDispatch, const OLECHAR* pszName, WORD wFlags,
                      const VARIANT* rgArgs, UINT nArgs, TInterface** ppObject) {
    if (ppObject == nullptr) {
        return E_POINTER;
    }
    *ppObject = nullptr;
    VARIANT result;
    VariantInit(&result);
    const HRESULT hrCall = CallMember(pDispatch, pszName, wFlags, rgArgs, nArgs, &result);
    if (FAILED(hrCall)) {
        VariantClear(&result);
        return hrCall;
    }
    IDispatch* pReal = nullptr;
    HRESULT hr = TakeDispatch(&result, &pReal);
    if (FAILED(hr) || pReal == nullptr) {
        // A success that came without an object hands on its status and no
        // object, as the engine interface does everywhere.
        return FAILED(hr) ? hr : hrCall;
    }
    TWrapper* pWrapper = new (std::nothrow) TWrapper(pReal);
    if (pWrapper == nullptr) {
        pReal->Release();
        return E_OUTOFMEMORY;
    }
    *ppObject = pWrapper;
    return S_OK;
}

// What every wrapper can be asked for through IID_CAutomationObject.
class CAutomationObject {
public:
    virtual IDispatch* Real() const = 0;
    virtual ULONG ReleaseObject() = 0;

protected:
    ~CAutomationObject() = default;
};

// One wrapper: implements the engine interface TInterface over the system
// object's IDispatch, of which it owns one reference.
template <class TInterface>
class TAutomationWrapper : public TInterface, public CAutomationObject {
public:
    explicit TAutomationWrapper(IDispatch* pReal) : m_pReal(pReal) {}
    virtual ~TAutomationWrapper() { m_pReal->Release(); }
    TAutomationWrapper(const TAutomationWrapper&) = delete;
    TAutomationWrapper& operator=(const TAutomationWrapper&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (IsEqualGUID(riid, IID_CAutomationObject)) {
            AddRef();
            *ppv = static_cast<CAutomationObject*>(this);
            return S_OK;
        }
        if (IsEqualGUID(riid, IID_IUnknown) || IsOwnInterface(riid)) {
            AddRef();
            *ppv = static_cast<TInterface*>(this);
            return S_OK;
        }
        if (IsEqualGUID(riid, IID_IPropertyBag)) {
            // The property bag is the system's own: no wrapper.
            return m_pReal->QueryInterface(riid, ppv);
        }
        return QueryWrapped(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&m_cRef));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG cRef = InterlockedDecrement(&m_cRef);
        if (cRef == 0) {
            delete this;
        }
        return static_cast<ULONG>(cRef);
    }

    IDispatch* Real() const override { return m_pReal; }
    ULONG ReleaseObject() override { return Release(); }

protected:
    // The engine interface's own id, when it has one.
    virtual bool IsOwnInterface(REFIID) const { return false; }
    // Interfaces that are reached through the system object and wrapped.
    virtual HRESULT QueryWrapped(REFIID, void**) { return E_NOINTERFACE; }

    IDispatch* const m_pReal;

private:
    LONG m_cRef = 1;
};

// Asks the system object for riid and wraps the interface it yields. Dual
// automation interfaces are IDispatch themselves, so the member names are
// resolved against the interface asked for.
template <class TWrapper>
HRESULT QueryAndWrap(IDispatch* pReal, REFIID riid, void** ppv) {
    IDispatch* pInterface = nullptr;
    HRESULT hr = pReal->QueryInterface(riid, reinterpret_cast<void**>(&pInterface));
    if (FAILED(hr) || pInterface == nullptr) {
        return hr;  // a success without an interface hands back none
    }
    TWrapper* pWrapper = new (std::nothrow) TWrapper(pInterface);
    if (pWrapper == nullptr) {
        pInterface->Release();
        return E_OUTOFMEMORY;
    }
    *ppv = pWrapper->Interface();
    return S_OK;
}

class CSource : public TAutomationWrapper<IWMEncVideoSource2> {
public:
    using TAutomationWrapper::TAutomationWrapper;
    IWMEncVideoSource2* Interface() { return this; }

    HRESULT SetInput(BSTR bstrInput, BSTR bstrScheme, BSTR bstrInitData) override {
        VARIANT rgArgs[3] = {MakeBstr(bstrInput), MakeBstr(bstrScheme), MakeBstr(bstrInitData)};
        return CallMember(m_pReal, L"SetInput", DISPATCH_METHOD, rgArgs, 3, nullptr);
    }

protected:
    HRESULT QueryWrapped(REFIID riid, void** ppv) override {
        if (IsEqualGUID(riid, IID_IWMEncVideoSource2)) {
            return QueryAndWrap<CSource>(m_pReal, riid, ppv);
        }
        return E_NOINTERFACE;
    }
};

// The plain profile: an IDispatch whose calls go straight to the system.
class CProfile : public TAutomationWrapper<IWMEncProfile> {
public:
    using TAutomationWrapper::TAutomationWrapper;
    IWMEncProfile* Interface() { return this; }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
        return m_pReal->GetTypeInfoCount(pctinfo);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
        return m_pReal->GetTypeInfo(iTInfo, lcid, ppTInfo);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                                            LCID lcid, DISPID* rgDispId) override {
        return m_pReal->GetIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                     EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        return m_pReal->Invoke(dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult,
                               pExcepInfo, puArgErr);
    }

protected:
    bool IsOwnInterface(REFIID riid) const override {
        return IsEqualGUID(riid, IID_IWMEncProfile) || IsEqualGUID(riid, IID_IDispatch);
    }
};

class CAudience : public TAutomationWrapper<IWMEncAudienceObj> {
public:
    using TAutomationWrapper::TAutomationWrapper;

    HRESULT put_VideoBitrate(LONG lStream, LONG lBitrate) override {
        return PutStreamProperty(m_pReal, L"VideoBitrate", lStream, lBitrate);
    }
    HRESULT put_VideoHeight(LONG lStream, LONG lHeight) override {
        return PutStreamProperty(m_pReal, L"VideoHeight", lStream, lHeight);
    }
    HRESULT put_VideoWidth(LONG lStream, LONG lWidth) override {
        return PutStreamProperty(m_pReal, L"VideoWidth", lStream, lWidth);
    }
    HRESULT put_VideoKeyFrameDistance(LONG lStream, LONG lMilliseconds) override {
        return PutStreamProperty(m_pReal, L"VideoKeyFrameDistance", lStream, lMilliseconds);
    }
    HRESULT put_VideoFPS(LONG lStream, LONG lFpsTimes1000) override {
        return PutStreamProperty(m_pReal, L"VideoFPS", lStream, lFpsTimes1000);
    }
    HRESULT put_VideoImageSharpness(LONG lStream, LONG lSharpness) override {
        return PutStreamProperty(m_pReal, L"VideoImageSharpness", lStream, lSharpness);
    }
};

class CProfile2 : public TAutomationWrapper<IWMEncProfile2> {
public:
    using TAutomationWrapper::TAutomationWrapper;

    HRESULT put_ValidateMode(VARIANT_BOOL bValidate) override {
        return PutProperty(m_pReal, L"ValidateMode", MakeBool(bValidate));
    }
    HRESULT put_ProfileName(BSTR bstrName) override {
        return PutProperty(m_pReal, L"ProfileName", MakeBstr(bstrName));
    }
    HRESULT put_ProfileDescription(BSTR bstrDescription) override {
        return PutProperty(m_pReal, L"ProfileDescription", MakeBstr(bstrDescription));
    }
    HRESULT put_ContentType(LONG lContentType) override {
        return PutProperty(m_pReal, L"ContentType", MakeI4(lContentType));
    }
    HRESULT put_VBRMode(WMENC_SOURCE_TYPE enumType, LONG lStream,
                        WMENC_PROFILE_VBR_MODE enumMode) override {
        // An indexed property put, or on some objects a method.
        VARIANT rgArgs[3] = {MakeI4(enumType), MakeI4(lStream), MakeI4(enumMode)};
        return CallEitherKind(m_pReal, L"VBRMode", DISPATCH_PROPERTYPUT, DISPATCH_METHOD, rgArgs,
                              3);
    }
    HRESULT AddAudience(LONG lBitrate, IWMEncAudienceObj** ppAudience) override {
        VARIANT arg = MakeI4(lBitrate);
        return CallForObject<CAudience>(m_pReal, L"AddAudience", DISPATCH_METHOD, &arg, 1,
                                        ppAudience);
    }
    HRESULT Validate() override {
        return CallMember(m_pReal, L"Validate", DISPATCH_METHOD, nullptr, 0, nullptr);
    }

protected:
    bool IsOwnInterface(REFIID riid) const override {
        return IsEqualGUID(riid, IID_IWMEncProfile2);
    }
    HRESULT QueryWrapped(REFIID riid, void** ppv) override {
        if (IsEqualGUID(riid, IID_IWMEncProfile)) {
            return QueryAndWrap<CProfile>(m_pReal, riid, ppv);
        }
        return E_NOINTERFACE;
    }
};

class CSourceGroup : public TAutomationWrapper<IWMEncSourceGroup> {
public:
    using TAutomationWrapper::TAutomationWrapper;

    HRESULT get_SourceCount(WMENC_SOURCE_TYPE enumType, SHORT* pnCount) override {
        if (pnCount == nullptr) {
            return E_POINTER;
        }
        VARIANT arg = MakeI4(enumType);
        VARIANT result;
        VariantInit(&result);
        HRESULT hr = CallMember(m_pReal, L"SourceCount", DISPATCH_PROPERTYGET, &arg, 1, &result);
        if (SUCCEEDED(hr)) {
            hr = VariantChangeType(&result, &result, 0, VT_I2);
            if (SUCCEEDED(hr)) {
                *pnCount = V_I2(&result);
            }
        }
        VariantClear(&result);
        return hr;
    }
    HRESULT RemoveSource(WMENC_SOURCE_TYPE enumType, VARIANT varIndex) override {
        VARIANT rgArgs[2] = {MakeI4(enumType), varIndex};
        return CallMember(m_pReal, L"RemoveSource", DISPATCH_METHOD, rgArgs, 2, nullptr);
    }
    HRESULT AddSource(WMENC_SOURCE_TYPE enumType, IWMEncSource** ppSource) override {
        VARIANT arg = MakeI4(enumType);
        return CallForObject<CSource>(m_pReal, L"AddSource", DISPATCH_METHOD, &arg, 1, ppSource);
    }
    HRESULT put_Profile(VARIANT varProfile) override {
        // One of our profiles is handed to the system as the object it wraps.
        CAutomationObject* pWrapped = nullptr;
        if (V_VT(&varProfile) == VT_DISPATCH && V_DISPATCH(&varProfile) != nullptr &&
            SUCCEEDED(
                V_DISPATCH(&varProfile)
                    ->QueryInterface(IID_CAutomationObject, reinterpret_cast<void**>(&pWrapped)))) {
            V_DISPATCH(&varProfile) = pWrapped->Real();
        }
        // A property put of the object, or on some objects a put by reference.
        HRESULT hr = CallEitherKind(m_pReal, L"Profile", DISPATCH_PROPERTYPUT,
                                    DISPATCH_PROPERTYPUTREF, &varProfile, 1);
        if (pWrapped != nullptr) {
            pWrapped->ReleaseObject();
        }
        return hr;
    }
};

class CSourceGroupCollection : public TAutomationWrapper<IWMEncSourceGroupCollection> {
public:
    using TAutomationWrapper::TAutomationWrapper;

    HRESULT Add(BSTR bstrName, IWMEncSourceGroup** ppGroup) override {
        VARIANT arg = MakeBstr(bstrName);
        return CallForObject<CSourceGroup>(m_pReal, L"Add", DISPATCH_METHOD, &arg, 1, ppGroup);
    }
    HRESULT get_Active(IWMEncSourceGroup** ppGroup) override {
        return CallForObject<CSourceGroup>(m_pReal, L"Active", DISPATCH_PROPERTYGET, nullptr, 0,
                                           ppGroup);
    }
};

class CFile : public TAutomationWrapper<IWMEncFile> {
public:
    using TAutomationWrapper::TAutomationWrapper;

    HRESULT put_LocalFileName(BSTR bstrFileName) override {
        return PutProperty(m_pReal, L"LocalFileName", MakeBstr(bstrFileName));
    }
};

class CDisplayInfo : public TAutomationWrapper<IWMEncDisplayInfo> {
public:
    using TAutomationWrapper::TAutomationWrapper;

    HRESULT put_Author(BSTR bstr) override {
        return PutProperty(m_pReal, L"Author", MakeBstr(bstr));
    }
    HRESULT put_Copyright(BSTR bstr) override {
        return PutProperty(m_pReal, L"Copyright", MakeBstr(bstr));
    }
    HRESULT put_Description(BSTR bstr) override {
        return PutProperty(m_pReal, L"Description", MakeBstr(bstr));
    }
    HRESULT put_Rating(BSTR bstr) override {
        return PutProperty(m_pReal, L"Rating", MakeBstr(bstr));
    }
    HRESULT put_Title(BSTR bstr) override { return PutProperty(m_pReal, L"Title", MakeBstr(bstr)); }
};

class CEncoder : public TAutomationWrapper<IWMEncoder> {
public:
    using TAutomationWrapper::TAutomationWrapper;

    HRESULT get_SourceGroupCollection(IWMEncSourceGroupCollection** ppCollection) override {
        return CallForObject<CSourceGroupCollection>(
            m_pReal, L"SourceGroupCollection", DISPATCH_PROPERTYGET, nullptr, 0, ppCollection);
    }
    HRESULT get_File(IWMEncFile** ppFile) override {
        return CallForObject<CFile>(m_pReal, L"File", DISPATCH_PROPERTYGET, nullptr, 0, ppFile);
    }
    HRESULT get_DisplayInfo(IWMEncDisplayInfo** ppDisplayInfo) override {
        return CallForObject<CDisplayInfo>(m_pReal, L"DisplayInfo", DISPATCH_PROPERTYGET, nullptr,
                                           0, ppDisplayInfo);
    }
    HRESULT PrepareToEncode(VARIANT_BOOL bPrepare) override {
        VARIANT arg = MakeBool(bPrepare);
        return CallMember(m_pReal, L"PrepareToEncode", DISPATCH_METHOD, &arg, 1, nullptr);
    }
    HRESULT Start() override {
        return CallMember(m_pReal, L"Start", DISPATCH_METHOD, nullptr, 0, nullptr);
    }
    HRESULT Pause() override {
        return CallMember(m_pReal, L"Pause", DISPATCH_METHOD, nullptr, 0, nullptr);
    }
    HRESULT Stop() override {
        return CallMember(m_pReal, L"Stop", DISPATCH_METHOD, nullptr, 0, nullptr);
    }

protected:
    bool IsOwnInterface(REFIID riid) const override { return IsEqualGUID(riid, IID_IWMEncoder); }
};

// Creates the system's object of clsid through its automation interface iid
// and hands out the wrapper's interface riid.
template <class TWrapper>
HRESULT CreateWrapped(REFCLSID clsid, DWORD dwClsContext, REFIID iidReal, REFIID riid, void** ppv) {
    IDispatch* pReal = nullptr;
    HRESULT hr =
        CoCreateInstance(clsid, nullptr, dwClsContext, iidReal, reinterpret_cast<void**>(&pReal));
    if (FAILED(hr) || pReal == nullptr) {
        return hr;  // a success without an object hands back none
    }
    TWrapper* pWrapper = new (std::nothrow) TWrapper(pReal);
    if (pWrapper == nullptr) {
        pReal->Release();
        return E_OUTOFMEMORY;
    }
    hr = pWrapper->QueryInterface(riid, ppv);
    pWrapper->Release();
    return hr;
}

HRESULT CreateEncoder(REFCLSID clsid, DWORD dwClsContext, REFIID riid, void** ppv) {
    return CreateWrapped<CEncoder>(clsid, dwClsContext, IID_IWMEncoder, riid, ppv);
}

HRESULT CreateProfile(REFCLSID clsid, DWORD dwClsContext, REFIID riid, void** ppv) {
    return CreateWrapped<CProfile2>(clsid, dwClsContext, IID_IWMEncProfile2, riid, ppv);
}

}  // namespace

bool AutomationEngineRegister() {
    bool bEncoder = RtRegisterClass(CLSID_WMEncoder, CreateEncoder);
    bool bProfile = RtRegisterClass(CLSID_WMEncProfile2, CreateProfile);
    return bEncoder && bProfile;
}

PFNCREATEINSTANCE AutomationEngineFactory(REFCLSID clsid) {
    return IsEqualGUID(clsid, CLSID_WMEncoder)       ? CreateEncoder
           : IsEqualGUID(clsid, CLSID_WMEncProfile2) ? CreateProfile
                                                     : nullptr;
}
