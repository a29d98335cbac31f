// Loading the plug-in library the way any host does: by path, resolving the
// five exports by name.
#pragma once

#include <string>
#include <vector>

#include <deskvid/deskvid.h>

namespace record {

class CDeskVidLibrary {
public:
    CDeskVidLibrary() = default;
    ~CDeskVidLibrary();
    CDeskVidLibrary(const CDeskVidLibrary&) = delete;
    CDeskVidLibrary& operator=(const CDeskVidLibrary&) = delete;

    // Loads the library and resolves all five exports. On failure *pstrError
    // says why and nothing stays loaded.
    bool Load(const std::string& strPath, std::string* pstrError);

    // Loads the first of the candidates that exists (a bare name is looked up
    // on the system's library path). On failure *pstrError says why.
    bool LoadFirst(const std::vector<std::string>& rgstrCandidates, std::string* pstrError);

    const std::string& Path() const { return m_strPath; }

    PFN_qmInitialize m_pfnInitialize = nullptr;
    PFN_qmUninitialize m_pfnUninitialize = nullptr;
    PFN_qmGetInterfaceName m_pfnGetInterfaceName = nullptr;
    PFN_qmCreateInstance m_pfnCreateInstance = nullptr;
    PFN_qmDestroyInstance m_pfnDestroyInstance = nullptr;

private:
    void Unload();

    void* m_hModule = nullptr;
    std::string m_strPath;
};

// Where to look for the library when --library is not given, in order: beside
// the executable, where the build tree puts it, where an installation puts it
// (relative to the executable's folder, so both can be moved), then the
// system's library path by name.
std::vector<std::string> DefaultLibraryCandidates(const std::string& strExeDir);

// The folder that holds the running executable, or "" when it cannot be told.
std::string ExecutableDir();

}  // namespace record
