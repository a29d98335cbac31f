// Recordings through libdeskvid.so in the headless GNOME session of
// scripts/session --gnome: mutter's screen cast through
// xdg-desktop-portal-gnome, which asks before the first share. The session's
// gnome-consent answers that dialog as a person would (through AT-SPI), or
// seeds the consent beforehand; gnome-scene puts moving content on a monitor.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/linux/screen/PortalToken.h"
#include "tests/wayland/RecordingHost.h"

namespace waylandtest {
namespace {

void Sleep(double dSeconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(dSeconds));
}

// The sizes of the video track's packets.
std::vector<int> VideoPackets(const std::string& strFile) {
    const testproc::SRunResult result =
        testproc::RunToEnd({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "packet=size", "-of", "csv=p=0", "file:" + strFile});
    std::vector<int> v;
    std::istringstream in(result.strOut);
    for (int n = 0; in >> n;) {
        v.push_back(n);
    }
    return v;
}

// The macroblock rows of each predicted picture that hold coded (not
// skipped) macroblocks, as the decoder's macroblock-type map shows them.
std::vector<std::set<int>> CodedRows(const std::string& strFile) {
    const testproc::SRunResult result =
        testproc::RunToEnd({"ffmpeg", "-nostdin", "-nostats", "-hide_banner", "-debug", "mb_type",
                            "-i", "file:" + strFile, "-an", "-f", "null", "-"});
    std::vector<std::set<int>> v;
    bool bPredicted = false;
    int nRow = 0;
    std::istringstream in(result.strErr);
    for (std::string strLine; std::getline(in, strLine);) {
        strLine.erase(0, strLine.rfind('\r') + 1);  // after any progress line
        if (strLine.find("New frame, type: ") != std::string::npos) {
            bPredicted = strLine.back() == 'P';
            if (bPredicted) {
                v.emplace_back();
            }
            nRow = 0;
            continue;
        }
        const size_t iMap = strLine.find("] ");
        if (!bPredicted || strLine.rfind("[wmv2 @", 0) != 0 || iMap == std::string::npos) {
            continue;
        }
        // Three characters a macroblock, the first its type: S when skipped.
        // Other messages of the decoder are shorter than a row.
        const std::string strMap = strLine.substr(iMap + 2);
        if (strMap.size() < 3 * 16) {
            continue;
        }
        for (size_t i = 0; i < strMap.size(); i += 3) {
            if (strMap[i] != 'S' && strMap[i] != ' ') {
                v.back().insert(nRow);
            }
        }
        ++nRow;
    }
    return v;
}

// The decoded picture shown at dSeconds, as 8-bit luma, nWidth a row.
std::string Picture(const std::string& strFile, double dSeconds) {
    return testproc::RunToEnd({"ffmpeg", "-nostdin", "-v", "error", "-ss", std::to_string(dSeconds),
                               "-i", "file:" + strFile, "-frames:v", "1", "-f", "rawvideo",
                               "-pix_fmt", "gray", "-"})
        .strOut;
}

// The bounds of the pixels that differ by more than coding noise between two
// pictures of nWidth columns; empty (nLeft > nRight) when none do.
struct SBox {
    int nLeft = 1 << 30;
    int nTop = 1 << 30;
    int nRight = -1;
    int nBottom = -1;
};

SBox Difference(const std::string& a, const std::string& b, int nWidth) {
    SBox box;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        if (std::abs(static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i])) > 24) {
            const int x = static_cast<int>(i % nWidth);
            const int y = static_cast<int>(i / nWidth);
            box.nLeft = std::min(box.nLeft, x);
            box.nRight = std::max(box.nRight, x);
            box.nTop = std::min(box.nTop, y);
            box.nBottom = std::max(box.nBottom, y);
        }
    }
    return box;
}

class GnomeRecording : public CRecordingTest {
protected:
    void SetUp() override {
        if (Env("DESKVID_SESSION_DESKTOP") != "gnome") {
            GTEST_SKIP() << "needs scripts/session --gnome";
        }
        std::ifstream(Env("XDG_RUNTIME_DIR") + "/deskvid-pattern.pid") >> m_nPattern;
        ASSERT_GT(m_nPattern, 0);
        CRecordingTest::SetUp();
    }
    void TearDown() override {
        CRecordingTest::TearDown();
        if (m_nPattern > 0) {
            kill(m_nPattern, SIGCONT);
        }
    }

    // The consent of an earlier "Share" with "Remember this selection".
    static void Seed() { ASSERT_EQ(0, testproc::RunToEnd({"gnome-consent", "seed"}).nExit); }
    static void Forget() { unlink(dvengine::PortalTokenPath().c_str()); }
    // The session's pattern stands still (mutter then sends no frames).
    void Freeze() {
        ASSERT_EQ(0, kill(m_nPattern, SIGSTOP));
        Sleep(0.5);
    }

    // Records for dSeconds into strName and returns the file's path.
    std::string Record(const std::string& strName, double dSeconds) {
        const std::string strFile = m_dir.File(strName);
        EXPECT_EQ(0, Start(strFile));
        Sleep(dSeconds);
        EXPECT_EQ(0, m_pInstance->Control(CAPCMD_STOP, nullptr));
        return strFile;
    }

    pid_t m_nPattern = 0;
};

TEST_F(GnomeRecording, FirstStartAsksThenTheAnswerIsKept) {
    if (Env("DESKVID_SESSION_MONITORS") != "1") {
        GTEST_SKIP() << "one monitor";
    }
    Forget();
    // Someone reads the dialog for 3 s before pressing Share.
    testproc::CChildProcess consent;
    ASSERT_TRUE(consent.Start({"gnome-consent", "answer", "--delay", "3"}));
    const std::string strFirst = Record("first.wmv", 3);
    EXPECT_EQ(0, consent.Wait(10)) << consent.Stderr();
    EXPECT_FALSE(dvengine::ReadPortalToken(dvengine::PortalTokenPath()).empty());
    auto vFrames = Frames(strFirst);
    ASSERT_FALSE(vFrames.empty());
    EXPECT_GE(Distinct(vFrames, 0.5, 2.5), 10);

    // Nobody answers now: a dialog would leave the start refused after its
    // wait, so a recording proves that the kept answer was used.
    const std::string strSecond = Record("second.wmv", 2);
    vFrames = Frames(strSecond);
    ASSERT_FALSE(vFrames.empty());
    EXPECT_GE(Distinct(vFrames, 0.5, 1.5), 5);
}

TEST_F(GnomeRecording, StillScreenCodesOnlyHeartbeats) {
    Seed();
    Freeze();
    const std::string strFile = Record("still.wmv", 10);
    const std::vector<int> vPackets = VideoPackets(strFile);
    ASSERT_FALSE(vPackets.empty());
    const int nBytes = std::accumulate(vPackets.begin(), vPackets.end(), 0);
    // The first picture, up to two refinements of it, then about one
    // heartbeat a second whose macroblocks are all skipped.
    EXPECT_LE(vPackets.size(), 15u);
    EXPECT_LE(nBytes, 24 * 1024);
    const std::vector<std::set<int>> vCoded = CodedRows(strFile);
    ASSERT_GE(vCoded.size(), 8u);
    for (size_t i = 2; i < vCoded.size(); ++i) {
        EXPECT_TRUE(vCoded[i].empty()) << "picture " << i + 1;
    }
}

TEST_F(GnomeRecording, SmallMovingWindowCodesOnlyItsArea) {
    Seed();
    Freeze();
    // A 64-pixel box crossing the first monitor's middle: pixel rows 328 to
    // 391, macroblock rows 20 to 24.
    testproc::CChildProcess scene;
    ASSERT_TRUE(scene.Start({"gnome-scene", "--monitor", "0", "--box", "64"}));
    Sleep(1);
    const std::string strFile = Record("box.wmv", 3);
    const std::vector<std::set<int>> vCoded = CodedRows(strFile);
    int nMoving = 0;
    int nOutside = 0;
    for (const std::set<int>& rows : vCoded) {
        nMoving += rows.empty() ? 0 : 1;
        nOutside += !rows.empty() && (*rows.begin() < 19 || *rows.rbegin() > 25) ? 1 : 0;
    }
    EXPECT_GE(nMoving, 20);
    // Refinements of the whole picture may come, but no more than two.
    EXPECT_LE(nOutside, 2);

    const SBox box = Difference(Picture(strFile, 1), Picture(strFile, 2), 1280);
    ASSERT_LE(box.nLeft, box.nRight) << "the box did not move";
    EXPECT_GE(box.nTop, 328 - 16);
    EXPECT_LE(box.nBottom, 391 + 16);
}

TEST_F(GnomeRecording, TwoMonitorsSideBySide) {
    if (Env("DESKVID_SESSION_MONITORS") != "2") {
        GTEST_SKIP() << "needs scripts/session --gnome --monitors 2";
    }
    Forget();
    // The pattern stands on the left monitor; a box moves on the right one.
    Freeze();
    testproc::CChildProcess scene;
    ASSERT_TRUE(scene.Start({"gnome-scene", "--monitor", "1", "--box", "160"}));
    Sleep(1);
    testproc::CChildProcess consent;
    ASSERT_TRUE(consent.Start({"gnome-consent", "answer"}));
    const std::string strFile = Record("two.wmv", 3);
    EXPECT_EQ(0, consent.Wait(10)) << consent.Stderr();

    const testproc::SRunResult probe =
        testproc::RunToEnd({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=codec_name,width,height", "-of", "csv=p=0", "file:" + strFile});
    ASSERT_EQ("wmv2,2560,720\n", probe.strOut);
    const std::string strBefore = Picture(strFile, 1);
    const std::string strAfter = Picture(strFile, 2);
    ASSERT_EQ(2560u * 720, strBefore.size());
    const SBox box = Difference(strBefore, strAfter, 2560);
    ASSERT_LE(box.nLeft, box.nRight) << "the box did not move";
    EXPECT_GE(box.nLeft, 1280);
    // Each half shows its own monitor: the right one the box's grey
    // background, the left one the pattern's coloured bars.
    std::vector<uint8_t> vLeft;
    std::vector<uint8_t> vRight;
    for (size_t i = 0; i < strAfter.size(); ++i) {
        (i % 2560 < 1280 ? vLeft : vRight).push_back(static_cast<uint8_t>(strAfter[i]));
    }
    std::nth_element(vRight.begin(), vRight.begin() + vRight.size() / 2, vRight.end());
    EXPECT_NEAR(64, vRight[vRight.size() / 2], 24);
    std::sort(vLeft.begin(), vLeft.end());
    EXPECT_GT(vLeft[vLeft.size() * 9 / 10] - vLeft[vLeft.size() / 10], 64);
}

}  // namespace
}  // namespace waylandtest
