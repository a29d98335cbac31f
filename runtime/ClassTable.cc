#include <mutex>

#include "runtime/Runtime.h"

namespace {

struct ClassEntry {
    CLSID clsid;
    PFNCREATEINSTANCE pfnCreate;
};

// A handful of classes are ever registered (encoder and profile, per engine).
constexpr int kMaxClasses = 16;

struct ClassTable {
    std::mutex mutex;
    ClassEntry entries[kMaxClasses] = {};
    int nEntries = 0;

    int Find(REFCLSID clsid) const {
        for (int i = 0; i < nEntries; ++i) {
            if (IsEqualGUID(entries[i].clsid, clsid)) {
                return i;
            }
        }
        return -1;
    }
};

ClassTable& Table() {
    static ClassTable table;
    return table;
}

}  // namespace

bool RtRegisterClass(REFCLSID clsid, PFNCREATEINSTANCE pfnCreate) {
    ClassTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    int i = table.Find(clsid);
    if (i < 0) {
        if (table.nEntries == kMaxClasses) {
            return false;
        }
        i = table.nEntries++;
        table.entries[i].clsid = clsid;
    }
    table.entries[i].pfnCreate = pfnCreate;
    return true;
}

void RtRevokeClass(REFCLSID clsid) {
    ClassTable& table = Table();
    std::lock_guard<std::mutex> guard(table.mutex);
    int i = table.Find(clsid);
    if (i >= 0) {
        table.entries[i] = table.entries[--table.nEntries];
    }
}

HRESULT RtCreateInstance(REFCLSID clsid, DWORD dwClsContext, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    PFNCREATEINSTANCE pfnCreate = nullptr;
    {
        ClassTable& table = Table();
        std::lock_guard<std::mutex> guard(table.mutex);
        int i = table.Find(clsid);
        if (i >= 0) {
            pfnCreate = table.entries[i].pfnCreate;
        }
    }
    if (pfnCreate == nullptr) {
        return REGDB_E_CLASSNOTREG;
    }
    return pfnCreate(clsid, dwClsContext, riid, ppv);
}
