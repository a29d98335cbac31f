// Finding the plug-in library: deskvid-record's search, over the loader that
// every C++ host of ours shares.
#pragma once

#include <string>
#include <vector>

#include "tools/hostlib/HostLibrary.h"

namespace record {

// Loads the library at strPath (under AddressSanitizer it stays mapped after
// unloading, so that leak reports at exit can still name its modules).
bool LoadAt(hostlib::CDeskVidLibrary* pLibrary, const std::string& strPath, std::string* pstrError);

// Loads the first of the candidates that exists (a bare name is looked up on
// the system's library path). On failure *pstrError says why.
bool LoadFirstLibrary(hostlib::CDeskVidLibrary* pLibrary,
                      const std::vector<std::string>& rgstrCandidates, std::string* pstrError);

// Where to look for the library when --library is not given, in order: beside
// the executable, where the build tree puts it, where an installation puts it
// (relative to the executable's folder, so both can be moved), then the
// system's library path by name.
std::vector<std::string> DefaultLibraryCandidates(const std::string& strExeDir);

// The folder that holds the running executable, or "" when it cannot be told.
std::string ExecutableDir();

}  // namespace record
