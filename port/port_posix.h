// POSIX: small equivalents of the COM types that the capture code talks
// through, under the Windows names, plus a recursive mutex. Only what the
// library uses is here.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <string>

typedef int32_t HRESULT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int16_t SHORT;
typedef uint32_t UINT;
typedef char16_t OLECHAR;
typedef OLECHAR* BSTR;
typedef const OLECHAR* LPCOLESTR;
typedef int16_t VARIANT_BOOL;
typedef uint16_t VARTYPE;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)
#define STDMETHODCALLTYPE
#define OLESTR(s) u##s

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001u)
#define E_NOINTERFACE ((HRESULT)0x80004002u)
#define E_POINTER ((HRESULT)0x80004003u)
#define E_FAIL ((HRESULT)0x80004005u)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFu)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110u)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154u)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005u)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define CLSCTX_INPROC_SERVER 0x1

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b) {
    return !IsEqualGUID(a, b);
}

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

// Late binding is the Windows adapter's business; here the type only marks
// the objects that travel in VT_DISPATCH variants.
struct IDispatch : IUnknown {
protected:
    ~IDispatch() = default;
};
// Nothing to answer where IDispatch has no members.
#define PORT_DISPATCH_NOT_BY_NAME

extern const IID IID_IUnknown;
extern const IID IID_IDispatch;
extern const IID IID_IPropertyBag;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
};

struct VARIANT {
    VARTYPE vt;
    uint16_t wReserved1;
    uint16_t wReserved2;
    uint16_t wReserved3;
    union {
        SHORT iVal;
        LONG lVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
    };
};

#define V_VT(pv) ((pv)->vt)
#define V_I2(pv) ((pv)->iVal)
#define V_I4(pv) ((pv)->lVal)
#define V_BOOL(pv) ((pv)->boolVal)
#define V_BSTR(pv) ((pv)->bstrVal)
#define V_UNKNOWN(pv) ((pv)->punkVal)
#define V_DISPATCH(pv) ((pv)->pdispVal)

void VariantInit(VARIANT* pv);
// Releases what the variant holds (a string or an object reference) and
// leaves it empty.
HRESULT VariantClear(VARIANT* pv);

struct IErrorLog;
struct IPropertyBag : IUnknown {
    virtual HRESULT Read(LPCOLESTR pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) = 0;
    virtual HRESULT Write(LPCOLESTR pszPropName, VARIANT* pVar) = 0;

protected:
    ~IPropertyBag() = default;
};

// Length-prefixed wide strings, as the encoder objects take them. Each returns
// null when the string cannot be allocated.
BSTR SysAllocString(const OLECHAR* psz);
BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
void SysFreeString(BSTR bstr);
UINT SysStringLen(BSTR bstr);

namespace port {

class RecursiveMutex {
public:
    RecursiveMutex();
    ~RecursiveMutex();
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;
    void Lock() { pthread_mutex_lock(&m_mutex); }
    void Unlock() { pthread_mutex_unlock(&m_mutex); }

private:
    pthread_mutex_t m_mutex;
};

// Converts a narrow UTF-8 text to a newly allocated BSTR; null when the text
// is null or the string cannot be allocated. Invalid sequences become U+FFFD.
BSTR AnsiToBstr(const char* psz);

// The process's environment variable, in UTF-8: false when it is not set.
bool GetEnvironment(const char* pszName, std::string* pstrValue);

}  // namespace port
