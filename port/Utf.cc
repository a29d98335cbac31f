#include "port/Utf.h"

#include <cstdint>

namespace port {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at p (before pEnd) into *pcp and moves past it.
// A malformed sequence gives false and is consumed up to the first byte that
// does not continue it, so at least one byte goes each time.
bool DecodeUtf8(const unsigned char*& p, const unsigned char* pEnd, char32_t* pcp) {
    const unsigned char c = *p++;
    if (c < 0x80) {
        *pcp = c;
        return true;
    }
    int nMore;
    char32_t cp;
    if ((c & 0xE0) == 0xC0) {
        nMore = 1;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        nMore = 2;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        nMore = 3;
        cp = c & 0x07;
    } else {
        return false;
    }
    for (int i = 0; i < nMore; ++i) {
        if (p == pEnd || (*p & 0xC0) != 0x80) {
            return false;
        }
        cp = (cp << 6) | (*p++ & 0x3F);
    }
    static const char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[nMore] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return false;
    }
    *pcp = cp;
    return true;
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view str, bool* pbExact) {
    std::u16string wstr;
    bool bExact = true;
    const auto* p = reinterpret_cast<const unsigned char*>(str.data());
    const auto* pEnd = p + str.size();
    while (p < pEnd) {
        char32_t cp;
        if (!DecodeUtf8(p, pEnd, &cp)) {
            cp = kReplacement;
            bExact = false;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            wstr.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            wstr.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            wstr.push_back(static_cast<char16_t>(cp));
        }
    }
    if (pbExact != nullptr) {
        *pbExact = bExact;
    }
    return wstr;
}

std::string Utf16ToUtf8(std::u16string_view wstr, bool* pbExact) {
    std::string str;
    bool bExact = true;
    for (size_t i = 0; i < wstr.size(); ++i) {
        char32_t c = wstr[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wstr.size() && wstr[i + 1] >= 0xDC00 &&
            wstr[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wstr[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
            bExact = false;
        }
        if (c < 0x80) {
            str += static_cast<char>(c);
        } else if (c < 0x800) {
            str += static_cast<char>(0xC0 | (c >> 6));
            str += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            str += static_cast<char>(0xE0 | (c >> 12));
            str += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            str += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            str += static_cast<char>(0xF0 | (c >> 18));
            str += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            str += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            str += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (pbExact != nullptr) {
        *pbExact = bExact;
    }
    return str;
}

}  // namespace port
