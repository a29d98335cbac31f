// Recordings through libdeskvid.so, loaded as a host loads it, in the
// headless Wayland session of scripts/session --wayland: the engine picks the
// portal there by itself.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/wayland/RecordingHost.h"

namespace waylandtest {
namespace {

class WaylandRecording : public CRecordingTest {
protected:
    void SetUp() override {
        if (Env("WAYLAND_DISPLAY").empty() || Env("DESKVID_SESSION_WORK").empty() ||
            Env("DESKVID_SESSION_DESKTOP") == "gnome") {
            GTEST_SKIP() << "needs scripts/session --wayland";
        }
        CRecordingTest::SetUp();
    }
    void TearDown() override {
        CRecordingTest::TearDown();
        unlink((Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.refuse").c_str());
        unlink((Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.delay").c_str());
    }
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
}  // namespace waylandtest
