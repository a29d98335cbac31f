#include "Library.h"

#include "Console.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#endif

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

#ifdef _WIN32
constexpr char kSeparators[] = "/\\";
constexpr char kLibraryName[] = "deskvid.dll";
#else
constexpr char kSeparators[] = "/";
constexpr char kLibraryName[] = "libdeskvid.so";
#endif

}  // namespace

bool LoadFirstLibrary(hostlib::CDeskVidLibrary* pLibrary,
                      const std::vector<std::string>& rgstrCandidates, std::string* pstrError) {
    std::string strTried;
    for (const std::string& strPath : rgstrCandidates) {
        const bool fBareName = strPath.find_first_of(kSeparators) == std::string::npos;
        if (!fBareName && !FileExists(strPath)) {
            strTried += (strTried.empty() ? "" : ", ") + strPath;
            continue;
        }
        std::string strWhy;
        if (LoadAt(pLibrary, strPath, &strWhy)) {
            return true;
        }
        if (!fBareName) {
            // It is there but unusable: say so rather than load another one.
            *pstrError = strWhy;
            return false;
        }
        strTried += (strTried.empty() ? "" : ", ") + strPath;
    }
    *pstrError =
        std::string(kLibraryName) + " not found (tried " + strTried + "); use --library PATH";
    return false;
}

#ifndef _WIN32
bool LoadAt(hostlib::CDeskVidLibrary* pLibrary, const std::string& strPath,
            std::string* pstrError) {
    return pLibrary->Load(strPath, pstrError, DESKVID_RTLD_EXTRA);
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
#endif

}  // namespace record
