#include "tools/hostlib/HostLibrary.h"

#include <dlfcn.h>

#include <cstdlib>

namespace hostlib {

namespace {

// Resolves one export; dlsym returns void*, which POSIX lets us convert to a
// function pointer.
template <typename TFn>
bool Resolve(void* hModule, const char* pszName, TFn* ppfn, std::string* pstrError) {
    *ppfn = reinterpret_cast<TFn>(dlsym(hModule, pszName));
    if (*ppfn == nullptr) {
        *pstrError = std::string("the library has no export ") + pszName;
        return false;
    }
    return true;
}

}  // namespace

CDeskVidLibrary::~CDeskVidLibrary() {
    Unload();
}

void CDeskVidLibrary::Unload() {
    if (m_hModule != nullptr) {
        dlclose(m_hModule);
        m_hModule = nullptr;
    }
    m_pfnInitialize = nullptr;
    m_pfnUninitialize = nullptr;
    m_pfnGetInterfaceName = nullptr;
    m_pfnCreateInstance = nullptr;
    m_pfnDestroyInstance = nullptr;
    m_strPath.clear();
}

bool CDeskVidLibrary::Load(const std::string& strPath, std::string* pstrError,
                           int nExtraDlopenFlags) {
    Unload();
    // RTLD_LOCAL: the library's symbols stay its own, as in any host.
    m_hModule = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL | nExtraDlopenFlags);
    if (m_hModule == nullptr) {
        const char* pszWhy = dlerror();
        *pstrError = pszWhy != nullptr ? pszWhy : ("cannot load " + strPath);
        return false;
    }
    std::string strWhy;
    if (!Resolve(m_hModule, "qmInitialize", &m_pfnInitialize, &strWhy) ||
        !Resolve(m_hModule, "qmUninitialize", &m_pfnUninitialize, &strWhy) ||
        !Resolve(m_hModule, "qmGetInterfaceName", &m_pfnGetInterfaceName, &strWhy) ||
        !Resolve(m_hModule, "qmCreateInstance", &m_pfnCreateInstance, &strWhy) ||
        !Resolve(m_hModule, "qmDestroyInstance", &m_pfnDestroyInstance, &strWhy)) {
        *pstrError = strPath + ": " + strWhy;
        Unload();
        return false;
    }
    // Where the loader found it (a bare name may come from the system's
    // library path), without "bin/../plugin" detours.
    Dl_info info{};
    const char* pszLoaded = strPath.c_str();
    if (dladdr(reinterpret_cast<void*>(m_pfnInitialize), &info) != 0 && info.dli_fname != nullptr) {
        pszLoaded = info.dli_fname;
    }
    char* pszReal = realpath(pszLoaded, nullptr);
    m_strPath = pszReal != nullptr ? pszReal : pszLoaded;
    std::free(pszReal);
    return true;
}

}  // namespace hostlib
