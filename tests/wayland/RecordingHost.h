// What the recording tests in the headless Wayland sessions share: libdeskvid.so
// loaded as a host loads it (the copy staged beside this program, since the
// session's user cannot reach the build tree, else the build tree's), an
// instance that records into a scratch folder, and the decoded frames.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "deskvid/deskvid_status.h"
#include "tests/common/HostTest.h"

namespace waylandtest {

inline const char* LibraryPath() {
    static std::string s_strPath = [] {
        char sz[4096] = {};
        const ssize_t n = readlink("/proc/self/exe", sz, sizeof(sz) - 1);
        std::string str(sz, n > 0 ? static_cast<size_t>(n) : 0);
        str = str.substr(0, str.rfind('/') + 1) + "libdeskvid.so";
        return access(str.c_str(), R_OK) == 0 ? str : std::string(DESKVID_BUILT_LIBRARY);
    }();
    return s_strPath.c_str();
}

}  // namespace waylandtest

#define DESKVID_LIBRARY waylandtest::LibraryPath()
#include "tests/linux/HostLibrary.h"

namespace waylandtest {

inline std::string Env(const char* pszName) {
    const char* psz = std::getenv(pszName);
    return psz != nullptr ? psz : "";
}

// The decoded video's frames: presentation time in seconds, and a hash.
inline std::vector<std::pair<double, std::string>> Frames(const std::string& strFile) {
    const testproc::SRunResult result =
        testproc::RunToEnd({"ffmpeg", "-nostdin", "-v", "error", "-i", "file:" + strFile, "-an",
                            "-fps_mode", "passthrough", "-f", "framemd5", "-"});
    std::vector<std::pair<double, std::string>> vFrames;
    double dTimeBase = 0;
    std::istringstream in(result.strOut);
    for (std::string strLine; std::getline(in, strLine);) {
        int nNum = 0;
        int nDen = 0;
        if (std::sscanf(strLine.c_str(), "#tb 0: %d/%d", &nNum, &nDen) == 2 && nDen != 0) {
            dTimeBase = static_cast<double>(nNum) / nDen;
        } else if (!strLine.empty() && strLine[0] != '#') {
            long long nDts = 0;
            long long nPts = 0;
            char szHash[64] = {};
            if (std::sscanf(strLine.c_str(), "0, %lld, %lld, %*d, %*d, %63s", &nDts, &nPts,
                            szHash) == 3) {
                vFrames.emplace_back(nPts * dTimeBase, szHash);
            }
        }
    }
    return vFrames;
}

inline int Distinct(const std::vector<std::pair<double, std::string>>& vFrames, double dFrom,
                    double dTo) {
    std::set<std::string> set;
    for (const auto& frame : vFrames) {
        if (frame.first >= dFrom && frame.first < dTo) {
            set.insert(frame.second);
        }
    }
    return static_cast<int>(set.size());
}

// One instance of the library, recording into a scratch folder.
class CRecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_lib.Load()) << LibraryPath();
        m_pInstance =
            static_cast<IWMEncDeskVid*>(m_lib.m_pfnCreateInstance(DESKVID_INTERFACE_NAME));
        ASSERT_NE(nullptr, m_pInstance);
    }
    void TearDown() override {
        if (m_pInstance != nullptr) {
            m_lib.m_pfnDestroyInstance(m_pInstance);
        }
        m_lib.Unload();
    }

    int32_t Start(const std::string& strFile) {
        m_strFile = std::u16string(strFile.begin(), strFile.end());
        CAPTURE_PARAMS params = {};
        params.dwMask = CAPF_FILE;
        params.lpwszFile = reinterpret_cast<const DVWCHAR*>(m_strFile.c_str());
        return m_pInstance->Control(CAPCMD_START, &params);
    }

    CHostLibrary m_lib;
    IWMEncDeskVid* m_pInstance = nullptr;
    std::u16string m_strFile;
    testproc::CTempDir m_dir;
};

}  // namespace waylandtest
