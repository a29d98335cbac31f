// The scripted engine registered at load, and the hooks of scripted_hooks.h.
#include <cstring>
#include <string>

#include "base/Check.h"
#include "base/Memory.h"
#include "plugin/WmEncComDef.h"
#include "tests/engine/ScriptedEngine.h"
#include "tests/plugin/scripted_hooks.h"

#if defined(_WIN32)
#define SCRIPTED_API __declspec(dllexport)
#else
#define SCRIPTED_API __attribute__((visibility("default")))
#endif

namespace {

struct CScriptedEngine {
    CScriptedEngine() { scripted::Register(); }
};

CScriptedEngine g_scriptedEngine;

}  // namespace

extern "C" {

SCRIPTED_API size_t scriptedJournal(char* pszBuf, size_t cb) {
    std::string text;
    for (const std::string& line : scripted::Journal()) {
        text += line;
        text += '\n';
    }
    if (pszBuf != nullptr && cb > 0) {
        size_t n = text.size() < cb - 1 ? text.size() : cb - 1;
        std::memcpy(pszBuf, text.data(), n);
        pszBuf[n] = '\0';
    }
    return text.size() + 1;
}

SCRIPTED_API void scriptedFailNth(const char* pszOp, int n, int32_t hr) {
    scripted::FailNth(pszOp, n, hr);
}

SCRIPTED_API void scriptedReset(void) {
    scripted::Reset();
}

SCRIPTED_API int scriptedLiveObjects(void) {
    return scripted::LiveObjects();
}

SCRIPTED_API int scriptedRegistryCount(void) {
    CAutoLock lock(&g_mapInstance);
    return g_mapInstance.GetCount();
}

SCRIPTED_API int scriptedRegistryHasTable(void) {
    CAutoLock lock(&g_mapInstance);
    return g_mapInstance.HasTable() ? 1 : 0;
}

SCRIPTED_API int scriptedRegistryBlocks(void) {
    CAutoLock lock(&g_mapInstance);
    return g_mapInstance.GetBlockCount();
}

SCRIPTED_API int scriptedFailedChecks(void) {
    return base::FailedCheckCount();
}

SCRIPTED_API void scriptedFailNthAllocation(int n) {
    base::FailNthAllocation(n);
}

}  // extern "C"
