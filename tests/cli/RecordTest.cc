// Whole recordings with deskvid-record and the built libdeskvid.so, on the
// display and audio server that scripts/session provides. Files are checked
// with ffprobe and decoded with ffmpeg.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <deskvid/deskvid_status.h>

#include "tests/common/HostTest.h"
#include "Summary.h"

namespace clitest {

using namespace testproc;
namespace {

// Generous: the machine may be busy, and a stop drains the encoder.
constexpr double kTimeout = 60;

// Kept small so that encoding keeps up on a loaded machine.
const std::vector<std::string> kSmall = {"--size", "320x240", "--fps", "15"};

class RecordTest : public testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr) {
            GTEST_SKIP() << "needs a display and an audio server: run under scripts/session";
        }
    }

    static std::vector<std::string> Args(const std::string& strFile,
                                         std::vector<std::string> rgstrMore) {
        std::vector<std::string> rgstr = {DESKVID_RECORD, "-o", strFile};
        rgstr.insert(rgstr.end(), kSmall.begin(), kSmall.end());
        rgstr.insert(rgstr.end(), rgstrMore.begin(), rgstrMore.end());
        return rgstr;
    }

    // The file holds WMV2 video and WMA2 audio, each of about the given
    // duration.
    static void ExpectWindowsMedia(const std::string& strFile, double dSeconds) {
        std::vector<record::SProbeStream> rgStreams;
        ASSERT_TRUE(record::ProbeFile(strFile, &rgStreams)) << strFile;
        std::string strCodecs;
        for (const record::SProbeStream& stream : rgStreams) {
            if (stream.at("section") != "stream") {
                continue;  // the container's tags
            }
            const std::string strCodec = stream.at("codec_type") + ":" + stream.at("codec_name");
            strCodecs += strCodec + " ";
            EXPECT_NEAR(std::atof(stream.at("duration").c_str()), dSeconds, 0.5) << strCodec;
        }
        EXPECT_EQ(strCodecs, "video:wmv2 audio:wmav2 ");
    }

    // Every packet decodes without an error.
    static void ExpectDecodes(const std::string& strFile) {
        const SRunResult result =
            RunToEnd({"ffmpeg", "-nostdin", "-v", "error", "-i", strFile, "-f", "null", "-"});
        EXPECT_EQ(result.nExit, 0) << result.strErr;
        EXPECT_TRUE(result.strErr.empty()) << result.strErr;
    }
};

size_t Count(const std::string& str, const std::string& strText) {
    size_t n = 0;
    for (size_t i = str.find(strText); i != std::string::npos; i = str.find(strText, i + 1)) {
        ++n;
    }
    return n;
}

// SIGUSR1 pauses and SIGUSR2 resumes, however many of them come.
TEST_F(RecordTest, PauseIsLeftOutOfTheRecordedTime) {
    CTempDir dir;
    const std::string strFile = dir.File("pause.wmv");
    CChildProcess child;
    ASSERT_TRUE(child.Start(Args(strFile, {"--duration", "2"})));
    ASSERT_TRUE(child.WaitForStderr("recording to ", kTimeout)) << child.Stderr();
    for (int i = 0; i < 10; ++i) {
        child.Signal(SIGUSR1);
    }
    ASSERT_TRUE(child.WaitForStderr("paused at ", kTimeout)) << child.Stderr();
    // A pause long enough to show in the file if it were recorded.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (int i = 0; i < 10; ++i) {
        child.Signal(SIGUSR2);
    }
    ASSERT_TRUE(child.WaitForStderr("resumed at ", kTimeout)) << child.Stderr();
    ASSERT_EQ(child.Wait(kTimeout), 0) << child.Stderr();
    EXPECT_EQ(Count(child.Stderr(), "paused at "), 1u) << child.Stderr();
    EXPECT_EQ(Count(child.Stderr(), "resumed at "), 1u) << child.Stderr();

    EXPECT_NE(child.Stdout().find("file      " + strFile + "\n"), std::string::npos)
        << child.Stdout();
    EXPECT_NE(child.Stdout().find("(1 pause, "), std::string::npos) << child.Stdout();
    EXPECT_NE(child.Stdout().find("video     wmv2 320x240, "), std::string::npos) << child.Stdout();
    ExpectWindowsMedia(strFile, 2.0);
    ExpectDecodes(strFile);
}

class StopSignalTest : public RecordTest, public testing::WithParamInterface<int> {};

// The output was there before: -y replaces it with the recording.
TEST_P(StopSignalTest, FinalisesTheFile) {
    CTempDir dir;
    const std::string strFile = dir.File("stopped.wmv");
    std::ofstream(strFile) << "an older file";
    CChildProcess child;
    ASSERT_TRUE(child.Start(Args(strFile, {"-y"})));
    ASSERT_TRUE(child.WaitForStderr("recording to ", kTimeout)) << child.Stderr();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    child.Signal(GetParam());
    ASSERT_EQ(child.Wait(kTimeout), 0) << child.Stderr();
    EXPECT_NE(child.Stdout().find("(no pauses)"), std::string::npos) << child.Stdout();
    ExpectWindowsMedia(strFile, 1.5);
    ExpectDecodes(strFile);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, testing::Values(SIGTERM, SIGINT));

// A display lost while recording: the file was finalised and keeps its name,
// the status says what was lost, and the exit status that not all went well.
TEST_F(RecordTest, LostDisplayKeepsTheFinalisedFile) {
    CTempDir dir;
    const std::string strFile = dir.File("lost.wmv");
    const SRunResult result = RunToEnd(Args(strFile, {"--duration", "2"}), kTimeout,
                                       {"DESKVID_SCREEN=synthetic:size=320x240,freeze-at=10"});
    EXPECT_EQ(result.nExit, 1) << result.strErr;
    EXPECT_NE(result.strErr.find(DeskVidStatusText(DV_E_NO_DISPLAY)), std::string::npos)
        << result.strErr;
    EXPECT_EQ(result.strErr.find("incomplete"), std::string::npos) << result.strErr;
    EXPECT_FALSE(FileExists(strFile + ".partial"));
    ExpectDecodes(strFile);
}

// A start the plug-in refuses: the status, its description, exit 1, no file.
struct SRefusedStart {
    std::vector<std::string> rgstrArgs;  // "@" stands for the output file
    int32_t hrExpected;
};

class RefusedStartTest : public RecordTest, public testing::WithParamInterface<SRefusedStart> {};

TEST_P(RefusedStartTest, ReportsTheStatusAndLeavesNoFile) {
    CTempDir dir;
    const std::string strFile = dir.File("refused.wmv");
    std::vector<std::string> rgstrArgs = {DESKVID_RECORD, "--duration", "1"};
    for (const std::string& str : GetParam().rgstrArgs) {
        rgstrArgs.push_back(str == "@" ? strFile : str);
    }
    const SRunResult result = RunToEnd(rgstrArgs, kTimeout);
    EXPECT_EQ(result.nExit, 1) << result.strErr;
    char szStatus[128];
    std::snprintf(szStatus, sizeof(szStatus), "status 0x%08X (%s)",
                  static_cast<unsigned>(GetParam().hrExpected),
                  DeskVidStatusText(GetParam().hrExpected));
    EXPECT_NE(result.strErr.find(szStatus), std::string::npos)
        << "expected " << szStatus << " in: " << result.strErr;
    EXPECT_TRUE(result.strOut.empty()) << result.strOut;
    EXPECT_FALSE(FileExists(strFile));
}

INSTANTIATE_TEST_SUITE_P(
    Starts, RefusedStartTest,
    testing::Values(SRefusedStart{{"-o", "/nonexistent-folder/x.wmv"}, DV_E_FILE_OPEN},
                    // --raw hands values to the plug-in for its own checks.
                    SRefusedStart{{"-o", "@", "--raw", "--fps", "0"}, DV_E_FPS},
                    SRefusedStart{{"-o", "@", "--raw", "--bitrate", "-5"}, DV_E_BITRATE},
                    SRefusedStart{{"-o", "@", "--raw", "--sharpness", "101"}, DV_E_SHARPNESS},
                    SRefusedStart{{"-o", "@", "--raw", "--size", "-2x100"}, DV_E_SIZE},
                    // Past 2147483 kbit/s the bit rate in bit/s wraps negative.
                    SRefusedStart{{"-o", "@", "--raw", "--bitrate", "2147483647"}, DV_E_BITRATE}));

// Synthetic screen and sound: no display or audio server needed.
class SyntheticRecordTest : public RecordTest {
    void SetUp() override {}
};

// Two runs on one name: the one whose screen never answers looked at the
// name before the other took it, is refused after, and leaves its file be.
TEST_F(SyntheticRecordTest, ARefusedStartLeavesAnotherRecordersFile) {
    CTempDir dir;
    const std::string strFile = dir.File("same.wmv");
    CChildProcess refused, recorder;
    ASSERT_TRUE(refused.Start(Args(strFile, {"-y"}),
                              {"DESKVID_SCREEN=synthetic:silent", "DESKVID_AUDIO=synthetic"}));
    ASSERT_TRUE(
        recorder.Start(Args(strFile, {}), {"DESKVID_SCREEN=synthetic", "DESKVID_AUDIO=synthetic"}));
    ASSERT_TRUE(recorder.WaitForStderr("recording to ", kTimeout)) << recorder.Stderr();
    EXPECT_EQ(refused.Wait(kTimeout), 1) << refused.Stderr();
    recorder.Signal(SIGTERM);
    ASSERT_EQ(recorder.Wait(kTimeout), 0) << recorder.Stderr();
    ExpectDecodes(strFile);
}

// Reads a terminal's output until strText appears after *piFrom.
bool ReadUntil(int fd, std::string* pstr, size_t* piFrom, const std::string& strText) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const size_t i = pstr->find(strText, *piFrom);
        if (i != std::string::npos) {
            *piFrom = i + strText.size();
            return true;
        }
        if (std::chrono::steady_clock::now() > tEnd) {
            return false;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) > 0) {
            char rgch[1024];
            const ssize_t cb = read(fd, rgch, sizeof(rgch));
            if (cb <= 0) {
                return false;  // the other side is gone
            }
            pstr->append(rgch, static_cast<size_t>(cb));
        }
    }
}

TEST_F(RecordTest, KeysDriveARecordingOnATerminalAndItsSettingsComeBack) {
    CTempDir dir;
    const std::string strFile = dir.File("keys.wmv");
    std::vector<std::string> rgstrArgs = Args(strFile, {});
    std::vector<char*> rgpsz;
    for (std::string& str : rgstrArgs) {
        rgpsz.push_back(str.data());
    }
    rgpsz.push_back(nullptr);

    int fdTerminal = -1;
    const pid_t pid = forkpty(&fdTerminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execv(rgpsz[0], rgpsz.data());
        _exit(127);
    }
    struct termios before {};
    std::string strOut;
    size_t iFrom = 0;
    EXPECT_TRUE(ReadUntil(fdTerminal, &strOut, &iFrom, "RECORDING")) << strOut;
    ASSERT_EQ(write(fdTerminal, "p", 1), 1);
    EXPECT_TRUE(ReadUntil(fdTerminal, &strOut, &iFrom, "PAUSED")) << strOut;
    ASSERT_EQ(write(fdTerminal, "p", 1), 1);
    EXPECT_TRUE(ReadUntil(fdTerminal, &strOut, &iFrom, "RECORDING")) << strOut;
    ASSERT_EQ(write(fdTerminal, "q", 1), 1);
    EXPECT_TRUE(ReadUntil(fdTerminal, &strOut, &iFrom, "(1 pause, ")) << strOut;
    // Line editing and echo are back on the terminal.
    ASSERT_EQ(tcgetattr(fdTerminal, &before), 0);
    EXPECT_NE(before.c_lflag & ICANON, 0u);
    EXPECT_NE(before.c_lflag & ECHO, 0u);

    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    close(fdTerminal);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << strOut;
    ExpectDecodes(strFile);
}

}  // namespace
}  // namespace clitest
