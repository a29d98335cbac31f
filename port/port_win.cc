#include "port/port.h"

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

}  // namespace port
