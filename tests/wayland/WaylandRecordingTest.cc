// Recordings through libdeskvid.so, loaded as a host loads it, in the
// headless Wayland session of scripts/session --wayland: the engine picks the
// portal there by itself. The library is the one staged beside this program
// (the session's user cannot reach the build tree), else the build tree's.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "deskvid/deskvid_status.h"
#include "tests/common/HostTest.h"

namespace {

const char* LibraryPath() {
    static std::string s_strPath = [] {
        char sz[4096] = {};
        const ssize_t n = readlink("/proc/self/exe", sz, sizeof(sz) - 1);
        std::string str(sz, n > 0 ? static_cast<size_t>(n) : 0);
        str = str.substr(0, str.rfind('/') + 1) + "libdeskvid.so";
        return access(str.c_str(), R_OK) == 0 ? str : std::string(DESKVID_BUILT_LIBRARY);
    }();
    return s_strPath.c_str();
}

}  // namespace

#define DESKVID_LIBRARY LibraryPath()
#include "tests/linux/HostLibrary.h"

namespace {

std::string Env(const char* pszName) {
    const char* psz = std::getenv(pszName);
    return psz != nullptr ? psz : "";
}

// The decoded video's frames: presentation time in seconds, and a hash.
std::vector<std::pair<double, std::string>> Frames(const std::string& strFile) {
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

int Distinct(const std::vector<std::pair<double, std::string>>& vFrames, double dFrom, double dTo) {
    std::set<std::string> set;
    for (const auto& frame : vFrames) {
        if (frame.first >= dFrom && frame.first < dTo) {
            set.insert(frame.second);
        }
    }
    return static_cast<int>(set.size());
}

class WaylandRecording : public ::testing::Test {
protected:
    void SetUp() override {
        if (Env("WAYLAND_DISPLAY").empty() || Env("DESKVID_SESSION_WORK").empty()) {
            GTEST_SKIP() << "needs scripts/session --wayland";
        }
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
        unlink((Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.refuse").c_str());
        unlink((Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.delay").c_str());
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

TEST_F(WaylandRecording, RecordsTheScreenAsItChangesWithSound) {
    const std::string strFile = m_dir.File("wayland.wmv");
    std::ifstream pidFile(Env("XDG_RUNTIME_DIR") + "/deskvid-pattern.pid");
    pid_t nPattern = 0;
    ASSERT_TRUE(pidFile >> nPattern);
    // Moving for 2 s, still for 2 s (the pattern player frozen), moving for
    // 2 s; the recording's times of each change are measured, since a busy
    // machine may sleep longer.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point tStart = Clock::now();
    ASSERT_EQ(0, Start(strFile));
    auto since = [tStart] { return std::chrono::duration<double>(Clock::now() - tStart).count(); };
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double dStill = since();
    ASSERT_EQ(0, kill(nPattern, SIGSTOP));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double dMoving = since();
    ASSERT_EQ(0, kill(nPattern, SIGCONT));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double dStop = since();
    ASSERT_EQ(0, m_pInstance->Control(CAPCMD_STOP, nullptr));

    const testproc::SRunResult probe = testproc::RunToEnd(
        {"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height,duration",
         "-of", "csv=p=0", "file:" + strFile});
    ASSERT_EQ(0, probe.nExit) << probe.strErr;
    std::istringstream streams(probe.strOut);
    std::string strVideo;
    std::string strAudio;
    std::getline(streams, strVideo);
    std::getline(streams, strAudio);
    EXPECT_EQ(0u, strVideo.find("wmv2,1280,720,")) << strVideo;
    EXPECT_EQ(0u, strAudio.find("wmav2,")) << strAudio;
    const double dAudio = std::atof(strAudio.substr(strAudio.rfind(',') + 1).c_str());
    EXPECT_NEAR(dStop, dAudio, 1.0);

    // The decoded picture changes while the screen moves, and hardly while
    // it stands still (refinement may sharpen it a little).
    const auto vFrames = Frames(strFile);
    ASSERT_FALSE(vFrames.empty());
    EXPECT_GE(Distinct(vFrames, 0.5, dStill - 0.5), 10);
    EXPECT_LE(Distinct(vFrames, dStill + 0.5, dMoving - 0.5), 4);
    EXPECT_GE(Distinct(vFrames, dMoving + 0.5, dStop - 0.5), 10);
}

TEST_F(WaylandRecording, LostStreamEndsWithAFinalisedFile) {
    const std::string strFile = m_dir.File("lost.wmv");
    ASSERT_EQ(0, Start(strFile));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // The portal's PipeWire node goes, as when the compositor ends the cast.
    ASSERT_EQ(0, std::system("pw-cli ls Node | awk '/^\\tid/ { id = $2 } "
                             "/node.name = \"xdg-desktop-portal-wlr\"/ { sub(\",\", \"\", id); "
                             "print id }' | xargs -r -n1 pw-cli destroy >/dev/null"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(DV_E_NO_DISPLAY, m_pInstance->Control(CAPCMD_STOP, nullptr));
    const auto vFrames = Frames(strFile);
    ASSERT_FALSE(vFrames.empty());
    EXPECT_GT(vFrames.back().first, 0.5);
}

TEST_F(WaylandRecording, StartWithoutConsentOrPortalLeavesNoFile) {
    // The user refuses; then no portal on the bus at all.
    std::ofstream(Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.refuse");
    const std::string strState = Env("XDG_STATE_HOME");
    setenv("XDG_STATE_HOME", m_dir.Path().c_str(), 1);
    const std::string strFile = m_dir.File("refused.wmv");
    EXPECT_EQ(DV_E_PORTAL_REFUSED, Start(strFile));
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.Path()));

    const std::string strBus = Env("DBUS_SESSION_BUS_ADDRESS");
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    EXPECT_EQ(DV_E_NO_PORTAL, Start(strFile));
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.Path()));
    setenv("DBUS_SESSION_BUS_ADDRESS", strBus.c_str(), 1);
    if (strState.empty()) {
        unsetenv("XDG_STATE_HOME");
    } else {
        setenv("XDG_STATE_HOME", strState.c_str(), 1);
    }
}

TEST_F(WaylandRecording, SlowConsentThenTheTokenBothRecord) {
    // A person who takes 3 s to answer: the first picture's wait begins
    // after the answer. The answer is kept: the next start asks nothing.
    const std::string strState = Env("XDG_STATE_HOME");
    setenv("XDG_STATE_HOME", m_dir.File("state").c_str(), 1);
    std::ofstream(Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.delay") << "3\n";
    using Clock = std::chrono::steady_clock;
    for (const char* pszName : {"slow.wmv", "token.wmv"}) {
        const Clock::time_point tStart = Clock::now();
        ASSERT_EQ(0, Start(m_dir.File(pszName))) << pszName;
        const double dStart = std::chrono::duration<double>(Clock::now() - tStart).count();
        EXPECT_TRUE(pszName[0] == 's' ? dStart >= 3.0 : dStart < 3.0) << dStart;
        unlink((Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.delay").c_str());
        std::this_thread::sleep_for(std::chrono::seconds(2));
        ASSERT_EQ(0, m_pInstance->Control(CAPCMD_STOP, nullptr));
        EXPECT_GE(Distinct(Frames(m_dir.File(pszName)), 0.3, 1.8), 5) << pszName;
    }
    if (strState.empty()) {
        unsetenv("XDG_STATE_HOME");
    } else {
        setenv("XDG_STATE_HOME", strState.c_str(), 1);
    }
}

}  // namespace
