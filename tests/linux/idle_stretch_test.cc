// End to end on a display of its own: deskvid-record records a screen on
// which nothing moves for a while and then something changes. The file
// costs next to nothing while the screen is still, and FFmpeg and GStreamer
// both play its video to the full length. (The sound is the engine's
// synthetic tone: the video's length is what is looked at.)
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/HostTest.h"
#include "tools/hostlib/ChildProcess.h"

namespace {

using hostlib::CChildProcess;
using hostlib::RunToEnd;
using testproc::CTempDir;

constexpr double kSeconds = 4.0;

// "key value" after the first occurrence of strKey in strText, as a number.
double NumberAfter(const std::string& strText, const std::string& strKey) {
    const size_t n = strText.find(strKey);
    return n == std::string::npos ? -1 : std::atof(strText.c_str() + n + strKey.size());
}

TEST(RecordIdle, StillScreenCostsLittleAndPlaysToItsFullLengthInFFmpegAndGStreamer) {
    CChildProcess xvfb;
    ASSERT_TRUE(
        xvfb.Start({"Xvfb", "-displayfd", "1", "-screen", "0", "1280x720x24", "-nolisten", "tcp"}));
    std::string strDisplay;
    ASSERT_TRUE(xvfb.ReadStdoutLine(&strDisplay, 10));
    strDisplay = ":" + strDisplay;
    const CTempDir dir;
    const std::string strFile = dir.File("idle.wmv");

    CChildProcess record;
    ASSERT_TRUE(record.Start(
        {DESKVID_RECORD, "-o", strFile, "--fps", "20", "--duration", std::to_string(kSeconds)},
        {"DISPLAY=" + strDisplay, "DESKVID_SCREEN=x11", "DESKVID_AUDIO=synthetic"}));
    ASSERT_TRUE(record.WaitForStderr("recording to", 10)) << record.Stderr();
    // Still for most of the recording, then the background changes once.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(0, RunToEnd({"xsetroot", "-display", strDisplay, "-solid", "#208040"}).nExit);
    ASSERT_EQ(0, record.Wait(30)) << record.Stderr();

    const auto probe =
        RunToEnd({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                  "-show_entries", "stream=duration,nb_read_packets", "-of",
                  "default=noprint_wrappers=1", "file:" + strFile});
    ASSERT_EQ(0, probe.nExit) << probe.strErr;
    EXPECT_NEAR(kSeconds, NumberAfter(probe.strOut, "duration="), 0.5) << probe.strOut;
    // 80 slots: the first picture and its refinements, heartbeats, the
    // change and its refinements, the stop.
    const double dPackets = NumberAfter(probe.strOut, "nb_read_packets=");
    EXPECT_LE(dPackets, 15) << probe.strOut;

    const auto decode =
        RunToEnd({"ffmpeg", "-nostdin", "-v", "error", "-i", "file:" + strFile, "-f", "null", "-"});
    EXPECT_EQ(0, decode.nExit);
    EXPECT_EQ("", decode.strOut + decode.strErr);

    // GStreamer: every picture decoded, at its own time, the last one at the end.
    const auto play = RunToEnd({"gst-launch-1.0", "-v", "filesrc", "location=" + strFile, "!",
                                "asfdemux", "name=d", "d.", "!", "queue", "!", "avdec_wmv2", "!",
                                "fakesink", "silent=false"});
    ASSERT_EQ(0, play.nExit) << play.strOut << play.strErr;
    int nPictures = 0;
    double dLast = -1;
    for (size_t n = 0;
         (n = play.strOut.find("chain   ******* (fakesink0:sink)", n)) != std::string::npos; ++n) {
        ++nPictures;
        dLast = NumberAfter(play.strOut.substr(n, 120), "pts: 0:00:");
    }
    EXPECT_EQ(dPackets, nPictures);
    EXPECT_NEAR(kSeconds, dLast, 0.5);
    const auto discover = RunToEnd({"gst-discoverer-1.0", strFile});
    ASSERT_EQ(0, discover.nExit) << discover.strOut << discover.strErr;
    EXPECT_NEAR(kSeconds, NumberAfter(discover.strOut, "Duration: 0:00:"), 0.5) << discover.strOut;
}

}  // namespace
