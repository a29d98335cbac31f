#include "tests/common/HostTest.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace testproc {

CTempDir::CTempDir() {
    const char* pszTmp = std::getenv("TMPDIR");
    std::string strTemplate =
        std::string(pszTmp != nullptr ? pszTmp : "/tmp") + "/deskvid-test.XXXXXX";
    if (mkdtemp(strTemplate.data()) != nullptr) {
        m_strPath = strTemplate;
    }
}

CTempDir::~CTempDir() {
    if (!m_strPath.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_strPath, ec);
    }
}

bool FileExists(const std::string& strPath) {
    return access(strPath.c_str(), F_OK) == 0;
}

}  // namespace testproc
