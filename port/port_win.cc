#include "port/port.h"

#include "port/Utf.h"

namespace port {

BSTR AnsiToBstr(const char* psz) {
    if (psz == nullptr) {
        return nullptr;
    }
    int cch = MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
    if (cch <= 0) {
        return nullptr;
    }
    BSTR bstr = SysAllocStringLen(nullptr, static_cast<UINT>(cch - 1));
    if (bstr == nullptr) {
        return nullptr;
    }
    MultiByteToWideChar(CP_ACP, 0, psz, -1, bstr, cch);
    return bstr;
}

bool GetEnvironment(const char* pszName, std::string* pstrValue) {
    try {
        const std::u16string wstrName = Utf8ToUtf16(pszName);
        const auto* pwszName = reinterpret_cast<const wchar_t*>(wstrName.c_str());
        std::u16string wstrValue(128, u'\0');
        // Another thread may make it longer between a call and the next.
        for (int nTry = 0; nTry < 4; ++nTry) {
            SetLastError(ERROR_SUCCESS);
            const DWORD cch =
                GetEnvironmentVariableW(pwszName, reinterpret_cast<wchar_t*>(&wstrValue[0]),
                                        static_cast<DWORD>(wstrValue.size()));
            if (cch == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return false;
            }
            if (cch < wstrValue.size()) {
                *pstrValue = Utf16ToUtf8(std::u16string_view(wstrValue.data(), cch));
                return true;
            }
            wstrValue.assign(cch, u'\0');
        }
    } catch (...) {
        // Out of memory: as if it were not set.
    }
    return false;
}

}  // namespace port
