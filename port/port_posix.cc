#include "port/port.h"

#include <cstdlib>
#include <string>

#include "port/Utf.h"

const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IPropertyBag = {
    0x55272A00, 0x42CB, 0x11CE, {0x81, 0x35, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};

void VariantInit(VARIANT* pv) {
    std::memset(pv, 0, sizeof(*pv));
}

HRESULT VariantClear(VARIANT* pv) {
    if (pv == nullptr) {
        return E_INVALIDARG;
    }
    switch (pv->vt) {
        case VT_BSTR:
            SysFreeString(pv->bstrVal);
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (pv->punkVal != nullptr) {
                pv->punkVal->Release();
            }
            break;
        default:
            break;
    }
    VariantInit(pv);
    return S_OK;
}

// A BSTR points just past a 32-bit byte count and is NUL-terminated.
BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
    if (cch > (UINT32_MAX - sizeof(uint32_t)) / sizeof(OLECHAR) - 1) {
        return nullptr;
    }
    void* block = std::malloc(sizeof(uint32_t) + (size_t{cch} + 1) * sizeof(OLECHAR));
    if (block == nullptr) {
        return nullptr;
    }
    uint32_t cb = cch * static_cast<uint32_t>(sizeof(OLECHAR));
    std::memcpy(block, &cb, sizeof(cb));
    BSTR bstr = reinterpret_cast<BSTR>(static_cast<char*>(block) + sizeof(uint32_t));
    if (pch != nullptr) {
        std::memcpy(bstr, pch, size_t{cch} * sizeof(OLECHAR));
    } else {
        std::memset(bstr, 0, size_t{cch} * sizeof(OLECHAR));
    }
    bstr[cch] = 0;
    return bstr;
}

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) {
        return nullptr;
    }
    return SysAllocStringLen(psz, static_cast<UINT>(std::char_traits<char16_t>::length(psz)));
}

void SysFreeString(BSTR bstr) {
    if (bstr != nullptr) {
        std::free(reinterpret_cast<char*>(bstr) - sizeof(uint32_t));
    }
}

UINT SysStringLen(BSTR bstr) {
    if (bstr == nullptr) {
        return 0;
    }
    uint32_t cb;
    std::memcpy(&cb, reinterpret_cast<char*>(bstr) - sizeof(uint32_t), sizeof(cb));
    return cb / sizeof(OLECHAR);
}

namespace port {

RecursiveMutex::RecursiveMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

RecursiveMutex::~RecursiveMutex() {
    pthread_mutex_destroy(&m_mutex);
}

BSTR AnsiToBstr(const char* psz) {
    if (psz == nullptr) {
        return nullptr;
    }
    std::u16string text;
    try {
        text = Utf8ToUtf16(psz);
    } catch (...) {
        return nullptr;
    }
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

bool GetEnvironment(const char* pszName, std::string* pstrValue) {
    const char* psz = std::getenv(pszName);
    if (psz == nullptr) {
        return false;
    }
    try {
        pstrValue->assign(psz);
    } catch (...) {
        return false;  // out of memory: as if it were not set
    }
    return true;
}

}  // namespace port
