// End to end on a display of its own: deskvid-record records a screen on
// which nothing moves for a while and then something changes. The file
// costs next to nothing while the screen is still, and FFmpeg and GStreamer
// both play it to its full length. Needs an audio server (scripts/session).
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/ChildProcess.h"

namespace {

using testproc::CChildProcess;
using testproc::CTempDir;
using testproc::RunToEnd;

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
        {"DISPLAY=" + strDisplay, "DESKVID_SCREEN=x11"}));
    ASSERT_TRUE(record.WaitForStderr("recording to", 10)) << record.Stderr();
    // Still for most of the recording, then the background changes once.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(0, RunToEnd({"xsetroot", "-display", strDisplay, "-solid", "#208040"}).nExit);
    ASSERT_EQ(0, record.Wait(30)) << record.Stderr();

    const auto probe =
        RunToEnd({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                  "-show_entries", "format=duration:stream=nb_read_packets", "-of",
                  "default=noprint_wrappers=1", "file:" + strFile});
    ASSERT_EQ(0, probe.nExit) << probe.strErr;
    EXPECT_NEAR(kSeconds, NumberAfter(probe.strOut, "duration="), 0.5) << probe.strOut;
    // 80 slots: the first picture and its refinements, heartbeats, the
    // change and its refinements, the stop.
    EXPECT_LE(NumberAfter(probe.strOut, "nb_read_packets="), 15) << probe.strOut;

    const auto decode =
        RunToEnd({"ffmpeg", "-nostdin", "-v", "error", "-i", "file:" + strFile, "-f", "null", "-"});
    EXPECT_EQ(0, decode.nExit);
    EXPECT_EQ("", decode.strOut + decode.strErr);

    const auto discover = RunToEnd({"gst-discoverer-1.0", strFile});
    ASSERT_EQ(0, discover.nExit) << discover.strOut << discover.strErr;
    // "Duration: 0:00:04.043000000"
    EXPECT_NEAR(kSeconds, NumberAfter(discover.strOut, "Duration: 0:00:"), 0.5) << discover.strOut;
    const auto play = RunToEnd({"gst-launch-1.0",
                                "-q",
                                "filesrc",
                                "location=" + strFile,
                                "!",
                                "decodebin",
                                "name=d",
                                "d.",
                                "!",
                                "queue",
                                "!",
                                "videoconvert",
                                "!",
                                "fakesink",
                                "d.",
                                "!",
                                "queue",
                                "!",
                                "audioconvert",
                                "!",
                                "fakesink"});
    EXPECT_EQ(0, play.nExit) << play.strOut << play.strErr;
}

}  // namespace
