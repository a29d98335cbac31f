#include "tools/hostlib/HostLibrary.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdlib>

#include "port/Utf.h"

namespace hostlib {

namespace {

#ifdef _WIN32
void* dlsym(void* hModule, const char* pszName) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(hModule), pszName));
}
#endif

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
#ifdef _WIN32
        FreeLibrary(static_cast<HMODULE>(m_hModule));
#else
        dlclose(m_hModule);
#endif
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
#ifdef _WIN32
    (void)nExtraDlopenFlags;
    const std::u16string wstrPath = port::Utf8ToUtf16(strPath);
    m_hModule = LoadLibraryW(reinterpret_cast<const wchar_t*>(wstrPath.c_str()));
    if (m_hModule == nullptr) {
        *pstrError = "cannot load " + strPath + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
#else
    // RTLD_LOCAL: the library's symbols stay its own, as in any host.
    m_hModule = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL | nExtraDlopenFlags);
    if (m_hModule == nullptr) {
        const char* pszWhy = dlerror();
        *pstrError = pszWhy != nullptr ? pszWhy : ("cannot load " + strPath);
        return false;
    }
#endif
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
#ifdef _WIN32
    wchar_t szLoaded[32768];
    const DWORD cch =
        GetModuleFileNameW(static_cast<HMODULE>(m_hModule), szLoaded, sizeof(szLoaded) / 2);
    m_strPath = cch > 0 && cch < sizeof(szLoaded) / 2
                    ? port::Utf16ToUtf8(std::u16string(reinterpret_cast<char16_t*>(szLoaded), cch))
                    : strPath;
#else
    Dl_info info{};
    const char* pszLoaded = strPath.c_str();
    if (dladdr(reinterpret_cast<void*>(m_pfnInitialize), &info) != 0 && info.dli_fname != nullptr) {
        pszLoaded = info.dli_fname;
    }
    char* pszReal = realpath(pszLoaded, nullptr);
    m_strPath = pszReal != nullptr ? pszReal : pszLoaded;
    std::free(pszReal);
#endif
    return true;
}

}  // namespace hostlib
