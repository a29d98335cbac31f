#include "Library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#ifndef DESKVID_INSTALL_LIBDIR
#define DESKVID_INSTALL_LIBDIR "lib"
#endif
#ifndef DESKVID_SOVERSION
#define DESKVID_SOVERSION "0"
#endif

// Under AddressSanitizer the library stays mapped after dlclose. System
// libraries that it pulls in (FFmpeg's dependencies) keep memory through their
// globals; once they are unmapped, LeakSanitizer's check at exit would report
// that memory as leaked, and could no longer name the module to suppress it.
#if defined(__SANITIZE_ADDRESS__)
#define DESKVID_RTLD_EXTRA RTLD_NODELETE
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DESKVID_RTLD_EXTRA RTLD_NODELETE
#endif
#endif
#ifndef DESKVID_RTLD_EXTRA
#define DESKVID_RTLD_EXTRA 0
#endif

namespace record {

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

bool CDeskVidLibrary::Load(const std::string& strPath, std::string* pstrError) {
    Unload();
    // RTLD_LOCAL: the library's symbols stay its own, as in any host.
    m_hModule = dlopen(strPath.c_str(), RTLD_NOW | RTLD_LOCAL | DESKVID_RTLD_EXTRA);
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

bool CDeskVidLibrary::LoadFirst(const std::vector<std::string>& rgstrCandidates,
                                std::string* pstrError) {
    std::string strTried;
    for (const std::string& strPath : rgstrCandidates) {
        const bool fBareName = strPath.find('/') == std::string::npos;
        if (!fBareName && access(strPath.c_str(), F_OK) != 0) {
            strTried += (strTried.empty() ? "" : ", ") + strPath;
            continue;
        }
        std::string strWhy;
        if (Load(strPath, &strWhy)) {
            return true;
        }
        if (!fBareName) {
            // It is there but unusable: say so rather than load another one.
            *pstrError = strWhy;
            return false;
        }
        strTried += (strTried.empty() ? "" : ", ") + strPath;
    }
    *pstrError = "libdeskvid.so not found (tried " + strTried + "); use --library PATH";
    return false;
}

std::vector<std::string> DefaultLibraryCandidates(const std::string& strExeDir) {
    std::vector<std::string> rgstr;
    if (!strExeDir.empty()) {
        rgstr.push_back(strExeDir + "/libdeskvid.so");
        rgstr.push_back(strExeDir + "/../plugin/libdeskvid.so");
        rgstr.push_back(strExeDir + "/../" DESKVID_INSTALL_LIBDIR
                                    "/libdeskvid.so." DESKVID_SOVERSION);
    }
    rgstr.push_back("libdeskvid.so." DESKVID_SOVERSION);
    rgstr.push_back("libdeskvid.so");
    return rgstr;
}

std::string ExecutableDir() {
    char sz[PATH_MAX];
    const ssize_t cb = readlink("/proc/self/exe", sz, sizeof(sz) - 1);
    if (cb <= 0) {
        return "";
    }
    std::string str(sz, static_cast<size_t>(cb));
    const size_t iSlash = str.rfind('/');
    return iSlash == std::string::npos ? "" : (iSlash == 0 ? "/" : str.substr(0, iSlash));
}

}  // namespace record
