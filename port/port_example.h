// What each port provides. This header is documentation only: it is never
// included or compiled. A new platform gets a port_<name>.h (and .cc) that
// provides everything below under the same names, and port.h picks it.
// Everything above port/ is written against these names alone.
#pragma once

// ---- Component-runtime types, under the platform's COM names -------------
// On Windows the system's own (objbase.h, oleauto.h, ocidl.h); elsewhere
// small equivalents with the same layout where a host or an engine can see it.
//
// Scalars:   HRESULT LONG ULONG DWORD SHORT UINT VARIANT_BOOL VARTYPE
// Text:      OLECHAR (one UTF-16 unit), BSTR, LPCOLESTR, OLESTR("literal")
// Statuses:  S_OK S_FALSE E_NOTIMPL E_NOINTERFACE E_POINTER E_FAIL
//            E_UNEXPECTED E_OUTOFMEMORY E_INVALIDARG CLASS_E_NOAGGREGATION
//            REGDB_E_CLASSNOTREG DISP_E_TYPEMISMATCH, SUCCEEDED(), FAILED()
// Ids:       GUID, IID, CLSID, REFGUID/REFIID/REFCLSID, IsEqualGUID and ==,
//            IID_IUnknown, IID_IDispatch, IID_IPropertyBag, CLSCTX_INPROC_SERVER
// Objects:   IUnknown (QueryInterface, AddRef, Release), IDispatch,
//            IPropertyBag (Read, Write), STDMETHODCALLTYPE
// Variants:  VARIANT with VT_EMPTY VT_I2 VT_I4 VT_BSTR VT_DISPATCH VT_BOOL
//            VT_UNKNOWN, the V_VT/V_I2/V_I4/V_BOOL/V_BSTR/V_UNKNOWN/V_DISPATCH
//            accessors, VariantInit(), VariantClear() (frees a string,
//            releases an object, leaves the variant empty)
// Strings:   SysAllocString(), SysAllocStringLen(), SysFreeString(),
//            SysStringLen(): length-prefixed, NUL-terminated; allocation
//            failure gives null, never an exception

namespace port {

// ---- The lock --------------------------------------------------------------
// A recursive mutex: its owning thread may lock it again. Not copyable.
class RecursiveMutex {
public:
    void Lock();
    void Unlock();
};

// ---- Text conversion -------------------------------------------------------
// A narrow text in the platform's narrow encoding (the ANSI code page on
// Windows, UTF-8 elsewhere) as a newly allocated BSTR; null for a null text
// or when the string cannot be allocated.
BSTR AnsiToBstr(const char* psz);

// ---- The environment -------------------------------------------------------
// The process's environment variable pszName as it is now, in UTF-8: false
// when it is not set. On Windows this is what SetEnvironmentVariable left
// (a host may set a variable after start-up; the C runtime's getenv keeps
// its own copy, taken at start-up, and does not see it).
bool GetEnvironment(const char* pszName, std::string* pstrValue);

// UTF-8 <-> UTF-16 (port/Utf.h) is the same portable code on every platform;
// a port provides nothing for it.

}  // namespace port
