#include "engine/linux/screen/PortalToken.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace dvengine {
namespace {

// Tokens are short printable names (UUIDs in practice); anything else in
// the file is not ours to send.
bool IsToken(const std::string& str) {
    if (str.empty() || str.size() > 256) {
        return false;
    }
    for (char c : str) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
            return false;
        }
    }
    return true;
}

// Creates the folders of strPath's folder that are missing, private to the
// user as the base-directory convention asks.
bool MakeParents(const std::string& strPath) {
    for (size_t i = strPath.find('/', 1); i != std::string::npos; i = strPath.find('/', i + 1)) {
        const std::string strDir = strPath.substr(0, i);
        if (mkdir(strDir.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string PortalTokenPath() {
    const char* pszState = std::getenv("XDG_STATE_HOME");
    if (pszState != nullptr && pszState[0] == '/') {
        return std::string(pszState) + "/deskvid/screencast-token";
    }
    const char* pszHome = std::getenv("HOME");
    if (pszHome != nullptr && pszHome[0] == '/') {
        return std::string(pszHome) + "/.local/state/deskvid/screencast-token";
    }
    return std::string();
}

std::string ReadPortalToken(const std::string& strPath) {
    const int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return std::string();
    }
    char sz[260];
    const ssize_t n = read(fd, sz, sizeof(sz));
    close(fd);
    std::string str(sz, n > 0 ? static_cast<size_t>(n) : 0);
    while (!str.empty() && str.back() == '\n') {
        str.pop_back();
    }
    return IsToken(str) ? str : std::string();
}

// Replaces the stored token atomically; an empty token removes it.
void WritePortalToken(const std::string& strPath, const std::string& strToken) {
    if (strPath.empty()) {
        return;
    }
    if (!IsToken(strToken)) {
        unlink(strPath.c_str());
        return;
    }
    if (!MakeParents(strPath)) {
        return;
    }
    std::string strTemp = strPath + ".XXXXXX";
    const int fd = mkostemp(&strTemp[0], O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const std::string strLine = strToken + "\n";
    const bool bWritten =
        write(fd, strLine.data(), strLine.size()) == static_cast<ssize_t>(strLine.size());
    if (close(fd) != 0 || !bWritten || rename(strTemp.c_str(), strPath.c_str()) != 0) {
        unlink(strTemp.c_str());
    }
}

}  // namespace dvengine
