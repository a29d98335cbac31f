// The library's boundary: the five exports (qmInitialize, qmUninitialize,
// qmGetInterfaceName, qmCreateInstance, qmDestroyInstance) and the registry of
// the instances they hand out. The unit keeps the name hosts and readers of
// the contract look for.
#include "plugin/WmEncComDef.h"

#include <deskvid/deskvid.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

#include "base/Check.h"
#include "base/Memory.h"
#include "capture/WMEncDeskVid.h"

// Hosts are built separately, by other compilers: the layouts they see must
// not move.
static_assert(sizeof(bool) == 1, "boolean results are one byte");
static_assert(std::is_polymorphic<IWMEncDeskVid>::value &&
                  !std::has_virtual_destructor<IWMEncDeskVid>::value &&
                  sizeof(IWMEncDeskVid) == sizeof(void*),
              "IWMEncDeskVid is one table pointer whose only slot is Control");
static_assert(std::is_base_of<IWMEncDeskVid, CWMEncDeskVid>::value,
              "the handle is the interface pointer");
#if UINTPTR_MAX == 0xffffffffu
static_assert(sizeof(CAPTURE_PARAMS) == 28, "CAPTURE_PARAMS is 28 bytes");
static_assert(offsetof(CAPTURE_PARAMS, dwMask) == 0, "dwMask at 0");
static_assert(offsetof(CAPTURE_PARAMS, lpwszFile) == 4, "lpwszFile at 4");
static_assert(offsetof(CAPTURE_PARAMS, bySharpness) == 8, "bySharpness at 8");
static_assert(offsetof(CAPTURE_PARAMS, nBitrateKbps) == 12, "nBitrateKbps at 12");
static_assert(offsetof(CAPTURE_PARAMS, nFps) == 16, "nFps at 16");
static_assert(offsetof(CAPTURE_PARAMS, nWidth) == 20, "nWidth at 20");
static_assert(offsetof(CAPTURE_PARAMS, nHeight) == 24, "nHeight at 24");
#endif

CLockedPtrToStrMap g_mapInstance("g_mapInstance");

namespace {

const char kInterfaceName[] = DESKVID_INTERFACE_NAME;
static_assert(sizeof(kInterfaceName) == 14, "13 characters and the NUL");

}  // namespace

CWMEncDeskVid* NewInstance() {
    void* pv = base::Allocate(sizeof(CWMEncDeskVid));
    return pv != nullptr ? new (pv) CWMEncDeskVid() : nullptr;
}

void FreeInstance(CWMEncDeskVid* pInstance) {
    if (pInstance != nullptr) {
        pInstance->~CWMEncDeskVid();
        base::Free(pInstance);
    }
}

extern "C" {

DESKVID_API bool DESKVID_CALL qmInitialize(void) {
    return true;
}

DESKVID_API void DESKVID_CALL qmUninitialize(void) {}

DESKVID_API bool DESKVID_CALL qmGetInterfaceName(int nIndex, char* pszName) {
    if (nIndex != 0 || pszName == nullptr) {
        return false;
    }
    std::memcpy(pszName, kInterfaceName, sizeof(kInterfaceName));
    return true;
}

DESKVID_API void* DESKVID_CALL qmCreateInstance(const char* pszInterface) {
    try {
        CAutoLock lock(&g_mapInstance);
        if (pszInterface == nullptr || std::strcmp(pszInterface, kInterfaceName) != 0) {
            return nullptr;
        }
        CWMEncDeskVid* pInstance = NewInstance();
        if (pInstance == nullptr) {
            return nullptr;
        }
        IWMEncDeskVid* lpInterface = pInstance;
        CRefString* pName = g_mapInstance.ValueAt(lpInterface);
        if (pName == nullptr) {
            // Not recorded, so the host could never destroy it: it goes now.
            FreeInstance(pInstance);
            return nullptr;
        }
        // When the characters cannot be stored the entry keeps an empty name:
        // the instance lives on, and destroying it will leave it in place.
        pName->Assign(pszInterface);
        return lpInterface;
    } catch (...) {
        return nullptr;
    }
}

DESKVID_API void DESKVID_CALL qmDestroyInstance(void* lpInterface) {
    if (!DV_CHECK(lpInterface)) {
        return;
    }
    try {
        // Held through the engine's teardown too: a slow stop delays other
        // creations and destructions rather than racing them.
        CAutoLock lock(&g_mapInstance);
        if (!DV_CHECK(g_mapInstance.Lookup(lpInterface))) {
            return;
        }
        CRefString* pName = g_mapInstance.ValueAt(lpInterface);
        if (pName == nullptr) {
            return;
        }
        CRefString name(*pName);
        if (name.Equals(kInterfaceName)) {
            FreeInstance(static_cast<CWMEncDeskVid*>(static_cast<IWMEncDeskVid*>(lpInterface)));
            // The entry goes after the object: the map only compares the
            // handle's value, it never follows it.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
            g_mapInstance.Erase(lpInterface);
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
        }
    } catch (...) {
        // Nothing crosses into the host.
    }
}

}  // extern "C"
