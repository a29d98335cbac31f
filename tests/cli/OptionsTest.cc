// deskvid-record's command line and summary formatting, without a library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "Options.h"
#include "Output.h"
#include "Summary.h"

namespace record {
namespace {

struct SParsed {
    ParseResult result;
    COptions options;
    std::string strError;
};

SParsed Parse(std::vector<const char*> rgpszArgs) {
    rgpszArgs.insert(rgpszArgs.begin(), "deskvid-record");
    SParsed parsed;
    parsed.result = ParseOptions(static_cast<int>(rgpszArgs.size()), rgpszArgs.data(),
                                 &parsed.options, &parsed.strError);
    return parsed;
}

TEST(OptionsTest, NothingGivenSelectsNothing) {
    const SParsed parsed = Parse({});
    ASSERT_EQ(parsed.result, ParseResult::kRun);
    EXPECT_EQ(parsed.options.dwMask, 0u);
    EXPECT_TRUE(parsed.options.strOutput.empty());
    EXPECT_TRUE(parsed.options.strLibrary.empty());
    EXPECT_EQ(parsed.options.dDurationSeconds, 0);
    EXPECT_FALSE(parsed.options.fRaw);
    EXPECT_FALSE(parsed.options.fConstantRate);

    // A file name is always passed, and only the file's bit is set.
    const char16_t wszFile[] = u"x.wmv";
    const CAPTURE_PARAMS params = MakeCaptureParams(parsed.options, wszFile);
    EXPECT_EQ(params.dwMask, CAPF_FILE);
    EXPECT_EQ(params.lpwszFile, wszFile);
}

TEST(OptionsTest, EachSettingSetsItsFieldAndItsBitOnly) {
    const SParsed parsed = Parse({"-o", "out.wmv", "--bitrate", "900", "--fps=25", "--size",
                                  "640x360", "--sharpness", "0", "--duration", "2.5", "--library",
                                  "/x/libdeskvid.so", "--audio=both", "--constant-rate"});
    ASSERT_EQ(parsed.result, ParseResult::kRun) << parsed.strError;
    const COptions& o = parsed.options;
    EXPECT_TRUE(o.fConstantRate);
    EXPECT_EQ(o.strOutput, "out.wmv");
    EXPECT_EQ(o.strLibrary, "/x/libdeskvid.so");
    EXPECT_EQ(o.dDurationSeconds, 2.5);
    EXPECT_EQ(o.strAudio, "both");

    const char16_t wszFile[] = u"out.wmv";
    const CAPTURE_PARAMS params = MakeCaptureParams(o, wszFile);
    EXPECT_EQ(params.dwMask, CAPF_FILE | CAPF_BITRATE | CAPF_FPS | CAPF_SIZE | CAPF_SHARPNESS);
    EXPECT_EQ(params.nBitrateKbps, 900);
    EXPECT_EQ(params.nFps, 25);
    EXPECT_EQ(params.nWidth, 640);
    EXPECT_EQ(params.nHeight, 360);
    EXPECT_EQ(params.bySharpness, 0);
}

TEST(OptionsTest, OneSettingLeavesTheOtherBitsClear) {
    struct SCase {
        const char* pszName;
        const char* pszValue;
        uint32_t dwBit;
    };
    for (const SCase& c :
         {SCase{"--bitrate", "1", CAPF_BITRATE}, SCase{"--fps", "1000", CAPF_FPS},
          SCase{"--size", "0x0", CAPF_SIZE}, SCase{"--sharpness", "100", CAPF_SHARPNESS}}) {
        const SParsed parsed = Parse({c.pszName, c.pszValue});
        ASSERT_EQ(parsed.result, ParseResult::kRun) << c.pszName << " " << parsed.strError;
        EXPECT_EQ(parsed.options.dwMask, c.dwBit) << c.pszName;
    }
}

TEST(OptionsTest, ScreenSizeIsZeroByZero) {
    const SParsed parsed = Parse({"--size", "0x0"});
    ASSERT_EQ(parsed.result, ParseResult::kRun);
    EXPECT_EQ(parsed.options.nWidth, 0);
    EXPECT_EQ(parsed.options.nHeight, 0);
}

TEST(OptionsTest, LaterValueWinsAndShortOutputForms) {
    EXPECT_EQ(Parse({"--fps", "10", "--fps", "30"}).options.nFps, 30);
    EXPECT_EQ(Parse({"-oa.wmv"}).options.strOutput, "a.wmv");
    EXPECT_EQ(Parse({"--output=b.wmv"}).options.strOutput, "b.wmv");
    // A file name may look like an option when it is an option's value.
    EXPECT_EQ(Parse({"-o", "-x.wmv"}).options.strOutput, "-x.wmv");
}

TEST(OptionsTest, HelpWinsOverTheRest) {
    EXPECT_EQ(Parse({"--help"}).result, ParseResult::kHelp);
    EXPECT_EQ(Parse({"--fps", "5", "-h"}).result, ParseResult::kHelp);
    // Except over a line that cannot even be read.
    EXPECT_EQ(Parse({"--bogus", "--help"}).result, ParseResult::kError);
}

TEST(OptionsTest, UsageNamesEveryOption) {
    const std::string strUsage = UsageText();
    for (const char* psz : {"--output", "--bitrate", "--fps", "--size", "--sharpness", "--duration",
                            "--audio", "--library", "--raw", "--constant-rate", "--help", "SIGUSR1",
                            "SIGTERM", ".partial", "EXIT STATUS"}) {
        EXPECT_NE(strUsage.find(psz), std::string::npos) << psz;
    }
}

// A command line that must be refused, and words the message must contain.
struct SBadCase {
    std::vector<const char*> rgpszArgs;
    const char* pszExpected;
};

class BadOptionsTest : public testing::TestWithParam<SBadCase> {};

TEST_P(BadOptionsTest, IsRefusedWithAClearMessage) {
    const SParsed parsed = Parse(GetParam().rgpszArgs);
    EXPECT_EQ(parsed.result, ParseResult::kError);
    EXPECT_NE(parsed.strError.find(GetParam().pszExpected), std::string::npos)
        << "message: " << parsed.strError;
}

INSTANTIATE_TEST_SUITE_P(
    Refused, BadOptionsTest,
    testing::Values(SBadCase{{"--frames", "3"}, "unknown option '--frames'"},
                    SBadCase{{"-x"}, "unknown option '-x'"},
                    SBadCase{{"stray"}, "unexpected argument 'stray'"},
                    SBadCase{{"--", "stray"}, "unexpected argument 'stray'"},
                    // missing and empty values
                    SBadCase{{"--fps"}, "--fps needs a value"},
                    SBadCase{{"-o"}, "-o needs a value"},
                    SBadCase{{"--output="}, "--output needs a value"},
                    SBadCase{{"--library"}, "--library needs a value"},
                    SBadCase{{"--duration"}, "--duration needs a value"},
                    SBadCase{{"--audio", "synthetic"}, "--audio takes input, output or both"},
                    SBadCase{{"--raw=1"}, "--raw takes no value"},
                    SBadCase{{"--constant-rate=1"}, "--constant-rate takes no value"},
                    SBadCase{{"--help=yes"}, "--help takes no value"},
                    // not numbers, trailing garbage, blanks, signs
                    SBadCase{{"--fps", "ten"}, "'ten' is not a whole number"},
                    SBadCase{{"--fps", "20fps"}, "'20fps' is not a whole number"},
                    SBadCase{{"--fps", " 20"}, "is not a whole number"},
                    SBadCase{{"--fps", "+20"}, "is not a whole number"},
                    SBadCase{{"--fps", "-"}, "is not a whole number"},
                    SBadCase{{"--fps", "2.5"}, "is not a whole number"},
                    SBadCase{{"--bitrate", "0x100"}, "is not a whole number"},
                    // out of range
                    SBadCase{{"--fps", "-1"}, "--fps: -1 is out of range (1 to 1000"},
                    SBadCase{{"--fps", "0"}, "--fps: 0 is out of range"},
                    SBadCase{{"--fps", "1001"}, "out of range"},
                    SBadCase{{"--bitrate", "0"}, "--bitrate: 0 is out of range (1 to 2147483"},
                    SBadCase{{"--bitrate", "2147484"}, "out of range"},
                    SBadCase{{"--sharpness", "101"}, "--sharpness: 101 is out of range (0 to 100"},
                    SBadCase{{"--sharpness", "-1"}, "out of range"},
                    // overflow of any integer type
                    SBadCase{{"--bitrate", "99999999999999999999999"}, "is far too large"},
                    SBadCase{{"--fps", "-99999999999999999999999"}, "is far too large"},
                    // sizes
                    SBadCase{{"--size", "0x"}, "'0x' is not WIDTHxHEIGHT"},
                    SBadCase{{"--size", "x480"}, "is not WIDTHxHEIGHT"},
                    SBadCase{{"--size", "640"}, "is not WIDTHxHEIGHT"},
                    SBadCase{{"--size", "640x480x2"}, "is not a whole number"},
                    SBadCase{{"--size", "640*480"}, "is not WIDTHxHEIGHT"},
                    SBadCase{{"--size", "0x480"}, "--size: 0 is out of range"},
                    SBadCase{{"--size", "640x-480"}, "out of range"},
                    SBadCase{{"--size", "16385x100"}, "out of range"},
                    // durations
                    SBadCase{{"--duration", "0"}, "out of range"},
                    SBadCase{{"--duration", "-2"}, "is not a number of seconds"},
                    SBadCase{{"--duration", "1e3"}, "is not a number of seconds"},
                    SBadCase{{"--duration", "inf"}, "is not a number of seconds"},
                    SBadCase{{"--duration", "1.2.3"}, "is not a number of seconds"},
                    SBadCase{{"--duration", "."}, "is not a number of seconds"},
                    SBadCase{{"--duration", "99999999999"}, "out of range"},
                    // a file name the plug-in's UTF-16 cannot carry
                    SBadCase{{"-o", "bad\xff.wmv"}, "not valid UTF-8"},
                    // --raw lifts the ranges but not the field's width or the syntax
                    SBadCase{{"--raw", "--sharpness", "256"}, "does not fit the field (0 to 255)"},
                    SBadCase{{"--raw", "--fps", "2147483648"}, "does not fit the field"},
                    SBadCase{{"--raw", "--bitrate", "12k"}, "is not a whole number"},
                    SBadCase{{"--raw", "--size", "0x"}, "is not WIDTHxHEIGHT"}));

TEST(OptionsTest, RawPassesOutOfRangeIntegersThrough) {
    // --raw may come after the values it concerns.
    const SParsed parsed =
        Parse({"--fps", "0", "--bitrate", "-5", "--sharpness", "255", "--size", "-1x0", "--raw"});
    ASSERT_EQ(parsed.result, ParseResult::kRun) << parsed.strError;
    const CAPTURE_PARAMS params = MakeCaptureParams(parsed.options, u"");
    EXPECT_EQ(params.dwMask, CAPF_FILE | CAPF_FPS | CAPF_BITRATE | CAPF_SHARPNESS | CAPF_SIZE);
    EXPECT_EQ(params.nFps, 0);
    EXPECT_EQ(params.nBitrateKbps, -5);
    EXPECT_EQ(params.bySharpness, 255);
    EXPECT_EQ(params.nWidth, -1);
    EXPECT_EQ(params.nHeight, 0);

    const SParsed extreme = Parse({"--raw", "--fps", "-2147483648", "--bitrate", "2147483647"});
    ASSERT_EQ(extreme.result, ParseResult::kRun) << extreme.strError;
    EXPECT_EQ(extreme.options.nFps, INT32_MIN);
    EXPECT_EQ(extreme.options.nBitrateKbps, INT32_MAX);
}

TEST(DefaultFileNameTest, IsTheLocalDateAndTime) {
    std::tm tmLocal{};
    tmLocal.tm_year = 2026 - 1900;
    tmLocal.tm_mon = 11;
    tmLocal.tm_mday = 7;
    tmLocal.tm_hour = 8;
    tmLocal.tm_min = 5;
    tmLocal.tm_sec = 9;
    tmLocal.tm_isdst = -1;
    EXPECT_EQ(DefaultFileName(std::mktime(&tmLocal)), "deskvid-20261207-080509.wmv");
}

TEST(SummaryTest, ParsesProbeSections) {
    const std::vector<SProbeStream> rg = ParseProbeOutput(
        "[STREAM]\ncodec_name=wmv2\ncodec_type=video\nwidth=640\n[/STREAM]\n"
        "[STREAM]\ncodec_name=wmav2\ncodec_type=audio\nbit_rate=64000\n[/STREAM]\n"
        "[FORMAT]\nduration=3.086000\n[/FORMAT]\nstray=1\n");
    ASSERT_EQ(rg.size(), 3u);
    EXPECT_EQ(rg[0].at("section"), "stream");
    EXPECT_EQ(rg[0].at("codec_name"), "wmv2");
    EXPECT_EQ(rg[0].at("width"), "640");
    EXPECT_EQ(rg[1].at("bit_rate"), "64000");
    EXPECT_EQ(rg[2].at("section"), "format");
    EXPECT_EQ(rg[2].at("duration"), "3.086000");
    EXPECT_EQ(rg[2].count("stray"), 0u);
}

TEST(SummaryTest, FormatsDurationsSizesAndRates) {
    EXPECT_EQ(FormatDuration(0), "0.0 s");
    EXPECT_EQ(FormatDuration(4.96), "5.0 s");
    EXPECT_EQ(FormatDuration(59.94), "59.9 s");
    EXPECT_EQ(FormatDuration(59.96), "1:00.0");
    EXPECT_EQ(FormatDuration(3723.4), "1:02:03.4");
    EXPECT_EQ(FormatDuration(-1), "0.0 s");
    EXPECT_EQ(FormatSize(0), "0 B");
    EXPECT_EQ(FormatSize(1023), "1023 B");
    EXPECT_EQ(FormatSize(1536), "1.5 KiB");
    EXPECT_EQ(FormatSize(5u * 1024 * 1024), "5.0 MiB");
    EXPECT_EQ(FormatSize(3ull << 40), "3.0 TiB");
    EXPECT_EQ(FormatSize(3ull << 50), "3072.0 TiB");
    EXPECT_DOUBLE_EQ(AverageKbps(125000, 2), 500);
    EXPECT_EQ(AverageKbps(125000, 0), 0);
}

TEST(SummaryTest, PrintsStreamsAndShortfall) {
    SRecordingFacts facts;
    facts.strFile = "a.wmv";
    facts.dRecordedSeconds = 5;
    facts.dPausedSeconds = 1.5;
    facts.nPauses = 1;
    facts.nFps = 20;
    facts.cbFile = 625000;
    const std::vector<SProbeStream> rg = ParseProbeOutput(
        "[STREAM]\ncodec_name=wmv2\ncodec_type=video\nwidth=640\nheight=360\n"
        "nb_read_packets=80\nduration=N/A\n[/STREAM]\n"
        "[STREAM]\ncodec_name=wmav2\ncodec_type=audio\nsample_rate=48000\nchannels=2\n"
        "bit_rate=64000\nduration=4.94\n[/STREAM]\n[FORMAT]\nduration=5.5\n"
        "TAG:deskvid_dropped_frames=0000000012\nTAG:deskvid_audio_gap_ms=1500\n[/FORMAT]\n");
    char* pszOut = nullptr;
    size_t cb = 0;
    std::FILE* pFile = open_memstream(&pszOut, &cb);
    ASSERT_NE(pFile, nullptr);
    PrintSummary(pFile, facts, rg);
    std::fclose(pFile);
    const std::string str(pszOut, cb);
    std::free(pszOut);
    EXPECT_NE(str.find("file      a.wmv\n"), std::string::npos) << str;
    EXPECT_NE(str.find("5.0 s (1 pause, 1.5 s paused)"), std::string::npos) << str;
    EXPECT_NE(str.find("1000 kbit/s on average"), std::string::npos) << str;
    EXPECT_NE(str.find("video     wmv2 640x360, 80 frames (16.0 fps of 20 asked, about 20 short)"),
              std::string::npos)
        << str;
    // The container's own duration is no stream: it gets no line.
    EXPECT_EQ(str.find("5.5"), std::string::npos) << str;
    EXPECT_NE(str.find("audio     wmav2 48000 Hz, 2 channels, 4.9 s, 64 kbit/s\n"),
              std::string::npos)
        << str;
    EXPECT_NE(str.find("gaps      12 frames dropped, 1.5 s of sound missing\n"), std::string::npos)
        << str;
}

TEST(SummaryTest, SaysSoWhenTheStreamsCannotBeDescribed) {
    std::vector<SProbeStream> rg;
    EXPECT_FALSE(ProbeFile("/nonexistent-folder/x.wmv", &rg));
    char* pszOut = nullptr;
    size_t cb = 0;
    std::FILE* pFile = open_memstream(&pszOut, &cb);
    ASSERT_NE(pFile, nullptr);
    PrintSummary(pFile, SRecordingFacts(), rg);
    std::fclose(pFile);
    const std::string str(pszOut, cb);
    std::free(pszOut);
    EXPECT_NE(str.find("streams   (not described"), std::string::npos) << str;
    EXPECT_NE(str.find("0 B, 0 kbit/s on average"), std::string::npos) << str;
}

std::string Contents(const std::string& strFile) {
    std::ifstream file(strFile, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return file ? text.str() : "(missing)";
}

// An unfinished recording is moved aside under the first free name; no file
// that was there before is lost to it.
TEST(OutputTest, MovingAsideNeverReplacesAFile) {
    char szDir[] = "/tmp/deskvid_output_XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    const std::string strDir = szDir;
    const std::string strFile = strDir + "/rec.wmv";
    for (const char* pszName : {"/rec.wmv", "/rec.wmv.partial", "/rec.wmv.1.partial"}) {
        std::ofstream(strDir + pszName) << pszName;
    }
    EXPECT_TRUE(OutputIsTaken(strFile));
    EXPECT_TRUE(OutputIsTaken(strDir));
    EXPECT_FALSE(OutputIsTaken("/dev/null"));
    EXPECT_FALSE(OutputIsTaken(strDir + "/none.wmv"));

    std::string strMoved;
    ASSERT_TRUE(MoveAside(strFile, &strMoved));
    EXPECT_EQ(strMoved, strDir + "/rec.wmv.2.partial");
    EXPECT_EQ(Contents(strMoved), "/rec.wmv");
    EXPECT_EQ(Contents(strDir + "/rec.wmv.partial"), "/rec.wmv.partial");
    EXPECT_EQ(Contents(strDir + "/rec.wmv.1.partial"), "/rec.wmv.1.partial");
    EXPECT_FALSE(OutputIsTaken(strFile));
    // Only a regular file is moved.
    EXPECT_FALSE(MoveAside(strFile, &strMoved));
    EXPECT_FALSE(MoveAside(strDir, &strMoved));
    for (const char* pszName : {"/rec.wmv.partial", "/rec.wmv.1.partial", "/rec.wmv.2.partial"}) {
        unlink((strDir + pszName).c_str());
    }
    rmdir(szDir);
}

}  // namespace
}  // namespace record
