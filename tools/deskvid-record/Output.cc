#include "Output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace record {

namespace {

// rename() without replacing: false with errno EEXIST when the name is taken.
bool RenameNoReplace(const std::string& strFrom, const std::string& strTo) {
    if (renameat2(AT_FDCWD, strFrom.c_str(), AT_FDCWD, strTo.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system that cannot rename that way: a new link never replaces.
    if (link(strFrom.c_str(), strTo.c_str()) != 0) {
        return false;
    }
    unlink(strFrom.c_str());
    return true;
}

}  // namespace

bool OutputIsTaken(const std::string& strFile) {
    struct stat st {};
    return stat(strFile.c_str(), &st) == 0 && !S_ISCHR(st.st_mode);
}

bool MoveAside(const std::string& strFile, std::string* pstrMoved) {
    struct stat st {};
    if (lstat(strFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    for (int i = 0; i < 1000; ++i) {
        const std::string strTo =
            i == 0 ? strFile + ".partial" : strFile + "." + std::to_string(i) + ".partial";
        if (RenameNoReplace(strFile, strTo)) {
            *pstrMoved = strTo;
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

}  // namespace record
