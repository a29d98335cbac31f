// Loading the plug-in library the way any host does: by path with dlopen,
// resolving the five exports by name. deskvid-record, the benchmark and the
// recording tests all load it through this.
#pragma once

#include <string>

#include <deskvid/deskvid.h>

namespace hostlib {

class CDeskVidLibrary {
public:
    CDeskVidLibrary() = default;
    ~CDeskVidLibrary();
    CDeskVidLibrary(const CDeskVidLibrary&) = delete;
    CDeskVidLibrary& operator=(const CDeskVidLibrary&) = delete;

    // Loads the library (RTLD_NOW | RTLD_LOCAL, plus nExtraDlopenFlags) and
    // resolves all five exports; it calls none of them. On failure *pstrError
    // says why and nothing stays loaded.
    bool Load(const std::string& strPath, std::string* pstrError, int nExtraDlopenFlags = 0);

    // Closes the library (calling none of its exports) and forgets them.
    void Unload();

    // Where the loader found the library, symbolic links resolved.
    const std::string& Path() const { return m_strPath; }

    PFN_qmInitialize m_pfnInitialize = nullptr;
    PFN_qmUninitialize m_pfnUninitialize = nullptr;
    PFN_qmGetInterfaceName m_pfnGetInterfaceName = nullptr;
    PFN_qmCreateInstance m_pfnCreateInstance = nullptr;
    PFN_qmDestroyInstance m_pfnDestroyInstance = nullptr;

private:
    void* m_hModule = nullptr;
    std::string m_strPath;
};

}  // namespace hostlib
