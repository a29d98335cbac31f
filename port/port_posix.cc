#include "port/port.h"

#include <cstdlib>
#include <string>

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

namespace {

// Decodes one UTF-8 sequence starting at *pp; returns U+FFFD for anything
// malformed, overlong or out of range, consuming at least one byte.
char32_t DecodeUtf8(const unsigned char*& p) {
    unsigned char c = *p++;
    if (c < 0x80) {
        return c;
    }
    int extra;
    char32_t cp;
    if ((c & 0xE0) == 0xC0) {
        extra = 1;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3;
        cp = c & 0x07;
    } else {
        return 0xFFFD;
    }
    for (int i = 0; i < extra; ++i) {
        if ((*p & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        cp = (cp << 6) | (*p++ & 0x3F);
    }
    static const char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0xFFFD;
    }
    return cp;
}

}  // namespace

BSTR AnsiToBstr(const char* psz) {
    if (psz == nullptr) {
        return nullptr;
    }
    std::u16string text;
    try {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(psz);
        while (*p != 0) {
            char32_t cp = DecodeUtf8(p);
            if (cp >= 0x10000) {
                cp -= 0x10000;
                text.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                text.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            } else {
                text.push_back(static_cast<char16_t>(cp));
            }
        }
    } catch (...) {
        return nullptr;
    }
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

}  // namespace port
