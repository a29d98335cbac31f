// Whole-stack recording tests: this process is a host. It loads libdeskvid.so
// with dlopen, drives capture instances through the exports and Control, and
// checks what the FFmpeg engine wrote with ffprobe and a full decode by
// ffmpeg. Unless DESKVID_SCREEN and DESKVID_AUDIO say otherwise they record
// the engine's synthetic screen (1280x720) and tone, so that faults can be
// scripted; end to end they run on the private display and audio server of
// scripts/session (a 1280x720 screen with a moving pattern, a null audio
// source). Durations are checked against the wall-clock times around the
// commands with half a second of slack either way.
#include "tests/linux/HostLibrary.h"
#include "tests/common/HostTest.h"

#include <deskvid/deskvid_status.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifdef DESKVID_TEST_X11
#include "tests/linux/x11/XvfbServer.h"
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int32_t kEFail = static_cast<int32_t>(0x80004005u);
constexpr int32_t kEOutOfMemory = static_cast<int32_t>(0x8007000Eu);
constexpr double kSlack = 0.5;  // seconds either way on recorded durations
// The session's screen (scripts/session's default size).
constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 720;
constexpr char kSyntheticScreen[] = "synthetic:size=1280x720";

std::string Hex(int32_t hr) {
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08x", static_cast<unsigned>(hr));
    return sz;
}

// Lets recording time pass; never used to order threads.
void Record(double dSeconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(dSeconds));
}

double Seconds(Clock::time_point tFrom, Clock::time_point tTo) {
    return std::chrono::duration<double>(tTo - tFrom).count();
}

// ---------------------------------------------------------------------------
// Child processes: ffprobe, ffmpeg and our own host, run without a shell.

using ProcessResult = testproc::SRunResult;

ProcessResult RunProcess(const std::vector<std::string>& rgArgv,
                         const std::vector<std::string>& rgEnv = {}) {
    return testproc::RunToEnd(rgArgv, 120, rgEnv);
}

// ---------------------------------------------------------------------------
// What ffprobe sees in a recording.

struct Media {
    // ffprobe's fields by stream type and name ("video.width",
    // "audio.codec_name", "format.duration", "format.tags.comment").
    std::map<std::string, std::string> mapField;
    std::vector<double> rgdVideoPts;  // presentation times of the video packets
    std::vector<double> rgdAudioPts;

    std::string Field(const std::string& strName) const {
        auto it = mapField.find(strName);
        return it == mapField.end() ? std::string() : it->second;
    }
    double Number(const std::string& strName) const { return std::atof(Field(strName).c_str()); }
    // The typical distance between video frames, which dropped frames do not
    // move.
    double MedianFrameInterval() const {
        std::vector<double> rgd;
        for (size_t i = 1; i < rgdVideoPts.size(); ++i) {
            rgd.push_back(rgdVideoPts[i] - rgdVideoPts[i - 1]);
        }
        if (rgd.empty()) {
            return 0;
        }
        std::nth_element(rgd.begin(), rgd.begin() + rgd.size() / 2, rgd.end());
        return rgd[rgd.size() / 2];
    }
    double LargestVideoGap() const {
        double dGap = 0;
        for (size_t i = 1; i < rgdVideoPts.size(); ++i) {
            dGap = std::max(dGap, rgdVideoPts[i] - rgdVideoPts[i - 1]);
        }
        return dGap;
    }
    static double Last(const std::vector<double>& rgd) { return rgd.empty() ? 0 : rgd.back(); }
};

// ffprobe's flat output: section.path="value" (quotes optional, with
// backslash escapes).
std::map<std::string, std::string> ParseFlat(const std::string& strText) {
    std::map<std::string, std::string> map;
    size_t nPos = 0;
    while (nPos < strText.size()) {
        size_t nEol = strText.find('\n', nPos);
        if (nEol == std::string::npos) {
            nEol = strText.size();
        }
        const std::string strLine = strText.substr(nPos, nEol - nPos);
        nPos = nEol + 1;
        const size_t nEq = strLine.find('=');
        if (nEq == std::string::npos) {
            continue;
        }
        std::string strValue = strLine.substr(nEq + 1);
        if (strValue.size() >= 2 && strValue.front() == '"' && strValue.back() == '"') {
            std::string strRaw = strValue.substr(1, strValue.size() - 2);
            strValue.clear();
            for (size_t i = 0; i < strRaw.size(); ++i) {
                if (strRaw[i] == '\\' && i + 1 < strRaw.size()) {
                    ++i;
                }
                strValue += strRaw[i];
            }
        }
        map[strLine.substr(0, nEq)] = strValue;
    }
    return map;
}

std::vector<double> PacketTimes(const std::string& strPath, const char* pszStream) {
    const ProcessResult result =
        RunProcess({"ffprobe", "-v", "error", "-select_streams", pszStream, "-show_entries",
                    "packet=pts_time", "-of", "csv=p=0", "file:" + strPath});
    std::vector<double> rgd;
    size_t nPos = 0;
    while (nPos < result.strOut.size()) {
        size_t nEol = result.strOut.find('\n', nPos);
        if (nEol == std::string::npos) {
            nEol = result.strOut.size();
        }
        const std::string strLine = result.strOut.substr(nPos, nEol - nPos);
        if (!strLine.empty() && strLine != "N/A") {
            rgd.push_back(std::atof(strLine.c_str()));
        }
        nPos = nEol + 1;
    }
    std::sort(rgd.begin(), rgd.end());
    return rgd;
}

Media Probe(const std::string& strPath) {
    Media media;
    const ProcessResult result = RunProcess(
        {"ffprobe", "-v", "error", "-count_frames", "-show_entries",
         "stream=codec_type,codec_name,width,height,nb_read_frames:format=duration:format_tags",
         "-of", "flat", "file:" + strPath});
    EXPECT_EQ(0, result.nExit) << strPath << ": " << result.strErr;
    const std::map<std::string, std::string> mapRaw = ParseFlat(result.strOut);
    // streams.stream.N.field -> <codec_type of N>.field
    const std::string strStream = "streams.stream.";
    for (const auto& [strKey, strValue] : mapRaw) {
        if (strKey.compare(0, strStream.size(), strStream) != 0) {
            media.mapField[strKey] = strValue;
            continue;
        }
        const size_t nDot = strKey.find('.', strStream.size());
        const std::string strIndex = strKey.substr(strStream.size(), nDot - strStream.size());
        auto itType = mapRaw.find(strStream + strIndex + ".codec_type");
        const std::string strType = itType == mapRaw.end() ? strIndex : itType->second;
        media.mapField[strType + strKey.substr(nDot)] = strValue;
    }
    media.rgdVideoPts = PacketTimes(strPath, "v:0");
    media.rgdAudioPts = PacketTimes(strPath, "a:0");
    return media;
}

// A full decode of every stream succeeds without a word of complaint.
void ExpectDecodes(const std::string& strPath) {
    const ProcessResult result = RunProcess(
        {"ffmpeg", "-nostdin", "-v", "error", "-i", "file:" + strPath, "-f", "null", "-"});
    EXPECT_EQ(0, result.nExit) << strPath;
    EXPECT_EQ("", result.strOut + result.strErr) << strPath;
}

// What every finished recording holds: WMV2 video of the given size at the
// given frame rate, WMA2 audio alongside it, the display information as
// metadata, and a duration within the bounds measured around the commands.
void ExpectRecording(const std::string& strPath, int nWidth, int nHeight, int nFps,
                     double dMinSeconds, double dMaxSeconds) {
    SCOPED_TRACE(strPath);
    ASSERT_TRUE(fs::exists(strPath));
    ExpectDecodes(strPath);
    const Media media = Probe(strPath);
    EXPECT_EQ("wmv2", media.Field("video.codec_name"));
    EXPECT_EQ(std::to_string(nWidth), media.Field("video.width"));
    EXPECT_EQ(std::to_string(nHeight), media.Field("video.height"));
    EXPECT_EQ("wmav2", media.Field("audio.codec_name"));
    EXPECT_EQ("Description of the encoded content.", media.Field("format.tags.comment"));
    EXPECT_EQ("Content rating.", media.Field("format.tags.rating"));

    const double dDuration = media.Number("format.duration");
    EXPECT_GE(dDuration, dMinSeconds - kSlack);
    EXPECT_LE(dDuration, dMaxSeconds + kSlack);
    // Frames at most at the requested rate (ASF stamps in milliseconds, so
    // 30 fps alternates 33 and 34 ms), only where the screen changed but at
    // least once a second, from the start to the end.
    EXPECT_GE(media.MedianFrameInterval(), 1.0 / nFps - 0.0015);
    ASSERT_FALSE(media.rgdVideoPts.empty());
    EXPECT_LT(media.rgdVideoPts.front(), kSlack);
    EXPECT_GE(Media::Last(media.rgdVideoPts), dDuration - kSlack);
    EXPECT_LT(media.LargestVideoGap(), 1.0 + kSlack);
    EXPECT_GE(media.Number("video.nb_read_frames"), dMinSeconds);
    // Audio runs alongside the video to its end.
    EXPECT_GT(media.Number("audio.nb_read_frames"), 0);
    ASSERT_FALSE(media.rgdAudioPts.empty());
    EXPECT_LT(media.rgdAudioPts.front(), kSlack);
    EXPECT_GE(Media::Last(media.rgdAudioPts), Media::Last(media.rgdVideoPts) - kSlack);
}

// ---------------------------------------------------------------------------
// The host's side: the library and its instances.

// A command's status with the clock read just before and just after it.
struct Timed {
    int32_t hr;
    Clock::time_point tBefore;
    Clock::time_point tAfter;
};

Timed Command(void* lpInstance, int nCommand, const CAPTURE_PARAMS* pParams = nullptr) {
    Timed timed;
    timed.tBefore = Clock::now();
    timed.hr = static_cast<IWMEncDeskVid*>(lpInstance)->Control(nCommand, pParams);
    timed.tAfter = Clock::now();
    return timed;
}

// The time recorded between a start and a later command lies between these.
double Shortest(const Timed& start, const Timed& end) {
    return Seconds(start.tAfter, end.tBefore);
}
double Longest(const Timed& start, const Timed& end) {
    return Seconds(start.tBefore, end.tAfter);
}

std::u16string Utf16(const std::string& strAscii) {
    return std::u16string(strAscii.begin(), strAscii.end());
}

class CRecordingTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("DESKVID_SCREEN", kSyntheticScreen, 0);
        setenv("DESKVID_AUDIO", "synthetic", 0);
        s_fLoaded = s_lib.Load();
    }
    static void TearDownTestSuite() { s_lib.Unload(); }

    void SetUp() override {
        ASSERT_TRUE(s_fLoaded) << DESKVID_LIBRARY;
        char szInterface[32] = {};
        ASSERT_TRUE(s_lib.m_pfnGetInterfaceName(0, szInterface));
        ASSERT_STREQ(DESKVID_INTERFACE_NAME, szInterface);
        const char* pszTmp = std::getenv("TMPDIR");
        std::string strTemplate =
            std::string(pszTmp != nullptr ? pszTmp : "/tmp") + "/deskvid-recording.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(strTemplate.data()));
        m_strDir = strTemplate;
    }
    void TearDown() override {
        for (void* lpInstance : m_rglpInstance) {
            s_lib.m_pfnDestroyInstance(lpInstance);
        }
        if (!m_strDir.empty()) {
            std::error_code ec;
            fs::remove_all(m_strDir, ec);
        }
    }

    void* Create() {
        void* lpInstance = s_lib.m_pfnCreateInstance(DESKVID_INTERFACE_NAME);
        EXPECT_NE(nullptr, lpInstance);
        m_rglpInstance.push_back(lpInstance);
        return lpInstance;
    }
    void Destroy(void* lpInstance) {
        m_rglpInstance.erase(std::find(m_rglpInstance.begin(), m_rglpInstance.end(), lpInstance));
        s_lib.m_pfnDestroyInstance(lpInstance);
    }

    std::string PathOf(const std::string& strName) const { return m_strDir + "/" + strName; }
    std::vector<std::string> DirEntries() const {
        std::vector<std::string> rgstr;
        for (const auto& entry : fs::directory_iterator(m_strDir)) {
            rgstr.push_back(entry.path().filename().string());
        }
        return rgstr;
    }

    // A recording under way: its file by both names, its instance and the
    // times around its start. The UTF-16 name lives as long as the recording.
    struct Recording {
        std::string strPath;
        std::u16string wstrPath;
        void* lpInstance = nullptr;
        Timed start = {};
    };

    // Starts lpInstance recording wstrPath: CAPF_FILE together with whatever
    // params selects. The status is the caller's to check.
    static Timed StartFile(void* lpInstance, const std::u16string& wstrPath,
                           CAPTURE_PARAMS params = {}) {
        params.dwMask |= CAPF_FILE;
        params.lpwszFile = wstrPath.c_str();
        return Command(lpInstance, CAPCMD_START, &params);
    }

    // Starts recording strName in the test's folder on lpInstance (a new
    // instance if none is given); the start must succeed, so callers wrap this
    // in ASSERT_NO_FATAL_FAILURE.
    void StartRecording(Recording* pRec, const std::string& strName,
                        const CAPTURE_PARAMS& params = {}, void* lpInstance = nullptr) {
        pRec->strPath = PathOf(strName);
        pRec->wstrPath = Utf16(pRec->strPath);
        pRec->lpInstance = lpInstance != nullptr ? lpInstance : Create();
        pRec->start = StartFile(pRec->lpInstance, pRec->wstrPath, params);
        ASSERT_EQ(Hex(0), Hex(pRec->start.hr)) << DeskVidStatusText(pRec->start.hr);
    }

    // Stops, expecting success.
    static Timed Stop(void* lpInstance) {
        const Timed stop = Command(lpInstance, CAPCMD_STOP);
        EXPECT_EQ(Hex(0), Hex(stop.hr)) << DeskVidStatusText(stop.hr);
        return stop;
    }

    // The whole screen at the plug-in's frame rate, for the time between the
    // two commands.
    static void ExpectScreen(const std::string& strPath, const Timed& from, const Timed& to) {
        ExpectRecording(strPath, kScreenWidth, kScreenHeight, 20, Shortest(from, to),
                        Longest(from, to));
    }

    // Stops (which must succeed) and checks the file holds the screen from the
    // start to the stop.
    static void StopAndExpectScreen(const Recording& rec) {
        ExpectScreen(rec.strPath, rec.start, Stop(rec.lpInstance));
    }

    // A failed start leaves the instance idle: pause and stop are refused.
    void ExpectIdle(void* lpInstance) {
        EXPECT_EQ(Hex(kEFail), Hex(Command(lpInstance, CAPCMD_PAUSE).hr));
        EXPECT_EQ(Hex(kEFail), Hex(Command(lpInstance, CAPCMD_STOP).hr));
    }

    static CHostLibrary s_lib;
    static bool s_fLoaded;
    std::string m_strDir;
    std::vector<void*> m_rglpInstance;
};

CHostLibrary CRecordingTest::s_lib;
bool CRecordingTest::s_fLoaded = false;

// ---------------------------------------------------------------------------
// Recordings and what they hold.

struct FormatCase {
    const char* pszName;
    uint32_t dwMask;  // beyond CAPF_FILE
    int nBitrateKbps, nFps, nWidth, nHeight;
    int nExpectWidth, nExpectHeight, nExpectFps;
    double dSeconds;
};

void PrintTo(const FormatCase& c, std::ostream* pos) {
    *pos << c.pszName;
}

class RecordFormat : public CRecordingTest, public testing::WithParamInterface<FormatCase> {};

TEST_P(RecordFormat, FileHoldsWhatWasAskedFor) {
    const FormatCase& c = GetParam();
    CAPTURE_PARAMS params = {};
    params.dwMask = c.dwMask;
    params.nBitrateKbps = c.nBitrateKbps;
    params.nFps = c.nFps;
    params.nWidth = c.nWidth;
    params.nHeight = c.nHeight;
    Recording rec;
    ASSERT_NO_FATAL_FAILURE(StartRecording(&rec, std::string(c.pszName) + ".wmv", params));
    Record(c.dSeconds);
    const Timed stop = Stop(rec.lpInstance);
    ExpectIdle(rec.lpInstance);
    ExpectRecording(rec.strPath, c.nExpectWidth, c.nExpectHeight, c.nExpectFps,
                    Shortest(rec.start, stop), Longest(rec.start, stop));
}

INSTANTIATE_TEST_SUITE_P(
    Engine, RecordFormat,
    testing::Values(
        // Defaults: the screen's own size at 20 frames/s.
        FormatCase{"ScreenSize", 0, 0, 0, 0, 0, kScreenWidth, kScreenHeight, 20, 3.0},
        // Short recordings hold their audio too.
        FormatCase{"OneSecond", 0, 0, 0, 0, 0, kScreenWidth, kScreenHeight, 20, 1.0},
        FormatCase{"Scaled", CAPF_SIZE | CAPF_FPS | CAPF_BITRATE | CAPF_SHARPNESS, 300, 10, 640,
                   360, 640, 360, 10, 2.0}),
    [](const testing::TestParamInfo<FormatCase>& info) { return info.param.pszName; });

// ---------------------------------------------------------------------------
// What hosts do with a running instance.

class RecordSession : public CRecordingTest {};

TEST_F(RecordSession, PauseIsLeftOutOfTheRecording) {
    Recording rec;
    ASSERT_NO_FATAL_FAILURE(StartRecording(&rec, "paused.wmv"));
    Record(1.5);
    const Timed pause = Command(rec.lpInstance, CAPCMD_PAUSE);
    ASSERT_EQ(Hex(0), Hex(pause.hr)) << DeskVidStatusText(pause.hr);
    Record(1.5);
    // A start with nothing selected resumes into the same file.
    CAPTURE_PARAMS resumeParams = {};
    const Timed resume = Command(rec.lpInstance, CAPCMD_START, &resumeParams);
    ASSERT_EQ(Hex(0), Hex(resume.hr)) << DeskVidStatusText(resume.hr);
    Record(1.5);
    const Timed stop = Stop(rec.lpInstance);
    ExpectRecording(rec.strPath, kScreenWidth, kScreenHeight, 20,
                    Shortest(rec.start, pause) + Shortest(resume, stop),
                    Longest(rec.start, pause) + Longest(resume, stop));
}

// A start that names a new file, while recording or paused: the first file
// is finalised and recording goes on into the new one.
class RecordSessionRollover : public CRecordingTest, public testing::WithParamInterface<bool> {};

TEST_P(RecordSessionRollover, NewFileNameRollsOver) {
    const bool fPaused = GetParam();
    // UTF-16 in, UTF-8 on disk.
    const std::string strSecond = PathOf("zweite-Aufnahme-\xc3\xbc\xe2\x82\xac.wmv");
    const std::u16string wstrSecond = Utf16(m_strDir + "/") + u"zweite-Aufnahme-\u00fc\u20ac.wmv";
    Recording first;
    ASSERT_NO_FATAL_FAILURE(StartRecording(&first, "first.wmv"));
    Record(1.5);
    Timed endOfFirst = {0, Clock::now(), Clock::now()};
    if (fPaused) {
        endOfFirst = Command(first.lpInstance, CAPCMD_PAUSE);
        ASSERT_EQ(Hex(0), Hex(endOfFirst.hr)) << DeskVidStatusText(endOfFirst.hr);
        Record(0.5);
    }
    const Timed rollover = StartFile(first.lpInstance, wstrSecond);
    ASSERT_EQ(Hex(0), Hex(rollover.hr)) << DeskVidStatusText(rollover.hr);
    if (!fPaused) {
        endOfFirst = rollover;
    }
    // The first file is complete while the second one records.
    ExpectScreen(first.strPath, first.start, endOfFirst);
    Record(0.5);
    ExpectScreen(strSecond, rollover, Stop(first.lpInstance));
}

INSTANTIATE_TEST_SUITE_P(Engine, RecordSessionRollover, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "WhilePaused" : "WhileRecording";
                         });

TEST_F(RecordSession, ChangedSettingsUnderTheSameNameAreRefused) {
    Recording rec;
    ASSERT_NO_FATAL_FAILURE(StartRecording(&rec, "kept.wmv"));
    const std::u16string wstrSameName = rec.wstrPath;  // the same text at another address
    Record(1.0);
    CAPTURE_PARAMS changed = {};
    changed.dwMask = CAPF_FPS;
    changed.nFps = 10;
    EXPECT_EQ(Hex(DV_E_SETTINGS_CHANGED), Hex(StartFile(rec.lpInstance, wstrSameName, changed).hr));
    Record(1.0);
    // Still started, and the file went on at its first frame rate.
    StopAndExpectScreen(rec);
}

TEST_F(RecordSession, DestroyWhileRecordingFinalisesTheFile) {
    Recording rec;
    ASSERT_NO_FATAL_FAILURE(StartRecording(&rec, "destroyed.wmv"));
    Record(1.5);
    Timed destroy;
    destroy.tBefore = Clock::now();
    Destroy(rec.lpInstance);
    destroy.tAfter = Clock::now();
    ExpectScreen(rec.strPath, rec.start, destroy);
}

// Two instances started, recorded and stopped on two threads at once.
class RecordThreads : public CRecordingTest {};

TEST_F(RecordThreads, TwoInstancesRecordAtOnceOnTwoThreads) {
    const std::string rgstrPath[2] = {PathOf("one.wmv"), PathOf("two.wmv")};
    const std::u16string rgwstrPath[2] = {Utf16(rgstrPath[0]), Utf16(rgstrPath[1])};
    void* rglpInstance[2] = {Create(), Create()};
    Timed rgStart[2], rgStop[2];
    std::mutex mutex;
    std::condition_variable cv;
    int nArrived = 0;
    // Both threads wait for each other before each command.
    auto Barrier = [&](int nGeneration) {
        std::unique_lock<std::mutex> lock(mutex);
        ++nArrived;
        cv.notify_all();
        cv.wait(lock, [&] { return nArrived >= 2 * nGeneration; });
    };
    auto Run = [&](int i) {
        CAPTURE_PARAMS params = {};
        params.dwMask = CAPF_SIZE;
        params.nWidth = i == 0 ? 0 : 640;
        params.nHeight = i == 0 ? 0 : 360;
        Barrier(1);
        rgStart[i] = StartFile(rglpInstance[i], rgwstrPath[i], params);
        Record(2.0);
        Barrier(2);
        rgStop[i] = Command(rglpInstance[i], CAPCMD_STOP);
    };
    std::thread th(Run, 1);
    Run(0);
    th.join();
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(Hex(0), Hex(rgStart[i].hr)) << i << ": " << DeskVidStatusText(rgStart[i].hr);
        EXPECT_EQ(Hex(0), Hex(rgStop[i].hr)) << i << ": " << DeskVidStatusText(rgStop[i].hr);
    }
    ExpectScreen(rgstrPath[0], rgStart[0], rgStop[0]);
    ExpectRecording(rgstrPath[1], 640, 360, 20, Shortest(rgStart[1], rgStop[1]),
                    Longest(rgStart[1], rgStop[1]));
}

// A refused start leaves nothing held: the same instance then records.
TEST_F(RecordSession, RecordsAfterARefusedStart) {
    void* lpInstance = Create();
    EXPECT_EQ(Hex(DV_E_FILE_OPEN), Hex(StartFile(lpInstance, Utf16(PathOf("missing/x.wmv"))).hr));
    Recording rec;
    ASSERT_NO_FATAL_FAILURE(StartRecording(&rec, "after.wmv", {}, lpInstance));
    Record(1.5);
    StopAndExpectScreen(rec);
}

// A second instance naming the file that another one is recording is refused,
// and neither truncates nor removes it.
TEST_F(RecordSession, FileBeingRecordedIsNotTakenOver) {
    void* lpFirst = Create();
    void* lpSecond = Create();
    Recording rec;
    ASSERT_NO_FATAL_FAILURE(StartRecording(&rec, "taken.wmv", {}, lpFirst));
    Record(1.0);
    // By its own name and by another path to it.
    const std::u16string wstrOtherPath = Utf16(m_strDir + "/./taken.wmv");
    const std::u16string* const rgpwstrName[] = {&rec.wstrPath, &wstrOtherPath};
    for (const std::u16string* pwstr : rgpwstrName) {
        const int32_t hrSecond = StartFile(lpSecond, *pwstr).hr;
        EXPECT_EQ(Hex(DV_E_FILE_OPEN), Hex(hrSecond)) << DeskVidStatusText(hrSecond);
        ExpectIdle(lpSecond);
    }
    EXPECT_EQ(std::vector<std::string>{"taken.wmv"}, DirEntries());
    Record(1.0);
    StopAndExpectScreen(rec);
}

// ---------------------------------------------------------------------------
// Starts the engine refuses: the status tells why, the instance stays idle
// and nothing is left on disk.

enum class FileName { kValid, kUnset, kEmpty, kMissingDirectory };

struct RejectCase {
    const char* pszName;
    FileName fileName;
    uint32_t dwMask;  // beyond CAPF_FILE
    uint8_t bySharpness;
    int32_t nBitrateKbps, nFps, nWidth, nHeight;
    int32_t hrExpected;
};

void PrintTo(const RejectCase& c, std::ostream* pos) {
    *pos << c.pszName;
}

class RecordRejected : public CRecordingTest, public testing::WithParamInterface<RejectCase> {};

TEST_P(RecordRejected, StartFailsAndLeavesNothing) {
    const RejectCase& c = GetParam();
    const std::u16string wstrPath = c.fileName == FileName::kEmpty ? u""
                                    : c.fileName == FileName::kMissingDirectory
                                        ? Utf16(PathOf("missing/x.wmv"))
                                        : Utf16(PathOf("x.wmv"));
    void* lpInstance = Create();
    CAPTURE_PARAMS params = {};
    params.dwMask = (c.fileName == FileName::kUnset ? 0 : CAPF_FILE) | c.dwMask;
    params.lpwszFile = wstrPath.c_str();
    params.bySharpness = c.bySharpness;
    params.nBitrateKbps = c.nBitrateKbps;
    params.nFps = c.nFps;
    params.nWidth = c.nWidth;
    params.nHeight = c.nHeight;
    const int32_t hr = Command(lpInstance, CAPCMD_START, &params).hr;
    EXPECT_EQ(Hex(c.hrExpected), Hex(hr)) << DeskVidStatusText(hr);
    ExpectIdle(lpInstance);
    EXPECT_EQ(std::vector<std::string>(), DirEntries());
}

INSTANTIATE_TEST_SUITE_P(
    Engine, RecordRejected,
    testing::Values(
        RejectCase{"NoFileName", FileName::kUnset, 0, 0, 0, 0, 0, 0, DV_E_NO_FILE_NAME},
        RejectCase{"EmptyFileName", FileName::kEmpty, 0, 0, 0, 0, 0, 0, DV_E_NO_FILE_NAME},
        RejectCase{"MissingDirectory", FileName::kMissingDirectory, 0, 0, 0, 0, 0, 0,
                   DV_E_FILE_OPEN},
        RejectCase{"ZeroBitrate", FileName::kValid, CAPF_BITRATE, 0, 0, 0, 0, 0, DV_E_BITRATE},
        RejectCase{"NegativeBitrate", FileName::kValid, CAPF_BITRATE, 0, -468, 0, 0, 0,
                   DV_E_BITRATE},
        // 2147484 kbit/s is past 2^31 bit/s and wraps negative.
        RejectCase{"WrappedBitrate", FileName::kValid, CAPF_BITRATE, 0, 2147484, 0, 0, 0,
                   DV_E_BITRATE},
        RejectCase{"ZeroFps", FileName::kValid, CAPF_FPS, 0, 0, 0, 0, 0, DV_E_FPS},
        RejectCase{"NegativeFps", FileName::kValid, CAPF_FPS, 0, 0, -20, 0, 0, DV_E_FPS},
        RejectCase{"WrappedFps", FileName::kValid, CAPF_FPS, 0, 0, 2147484, 0, 0, DV_E_FPS},
        RejectCase{"NegativeWidth", FileName::kValid, CAPF_SIZE, 0, 0, 0, -640, 360, DV_E_SIZE},
        RejectCase{"NegativeHeight", FileName::kValid, CAPF_SIZE, 0, 0, 0, 640, -1, DV_E_SIZE},
        // Larger than any picture FFmpeg can hold.
        RejectCase{"OversizedPicture", FileName::kValid, CAPF_SIZE, 0, 0, 0, 100000, 100000,
                   DV_E_SIZE},
        RejectCase{"Sharpness101", FileName::kValid, CAPF_SHARPNESS, 101, 0, 0, 0, 0,
                   DV_E_SHARPNESS},
        RejectCase{"Sharpness255", FileName::kValid, CAPF_SHARPNESS, 255, 0, 0, 0, 0,
                   DV_E_SHARPNESS}),
    [](const testing::TestParamInfo<RejectCase>& info) { return info.param.pszName; });

// What our host prints when the start fails with hr: the status, then the
// refused pause and stop of an idle instance.
std::string RefusedStartOutput(int32_t hr) {
    return "start " + Hex(hr) + "\npause " + Hex(kEFail) + "\nstop " + Hex(kEFail) + "\n";
}

// ---------------------------------------------------------------------------
// A host process whose environment offers no display or no audio server:
// the start fails with its own status, the instance stays idle, nothing is
// left on disk and the library says nothing on the host's terminal.

struct EnvironmentCase {
    const char* pszName;
    std::vector<std::string> rgstrEnv;  // "NAME=value" sets, "NAME" removes
    int32_t hrExpected;
};

void PrintTo(const EnvironmentCase& c, std::ostream* pos) {
    *pos << c.pszName;
}

class RecordEnvironment : public CRecordingTest,
                          public testing::WithParamInterface<EnvironmentCase> {};

// Within two seconds even when the screen never answers.
TEST_P(RecordEnvironment, StartFailsInTheHostProcess) {
    const EnvironmentCase& c = GetParam();
    const Clock::time_point tBefore = Clock::now();
    const ProcessResult result = RunProcess({DESKVID_RECHOST, PathOf("x.wmv"), "1"}, c.rgstrEnv);
    EXPECT_LT(Seconds(tBefore, Clock::now()), 2.0 + kSlack);
    EXPECT_EQ(0, result.nExit);
    EXPECT_EQ(RefusedStartOutput(c.hrExpected), result.strOut);
    EXPECT_EQ("", result.strErr);
    EXPECT_EQ(std::vector<std::string>(), DirEntries());
}

INSTANTIATE_TEST_SUITE_P(
    Engine, RecordEnvironment,
    testing::Values(
        EnvironmentCase{"NoSuchDisplay", {"DESKVID_SCREEN=x11", "DISPLAY=:4093"}, DV_E_NO_DISPLAY},
        EnvironmentCase{"NoDisplayVariable", {"DESKVID_SCREEN=x11", "DISPLAY"}, DV_E_NO_DISPLAY},
        EnvironmentCase{
            "ScreenFailsToStart", {"DESKVID_SCREEN=synthetic:fail-start"}, DV_E_NO_DISPLAY},
        EnvironmentCase{"ScreenNeverAnswers", {"DESKVID_SCREEN=synthetic:silent"}, DV_E_NO_DISPLAY},
        EnvironmentCase{"NoAudioServer",
                        {"DESKVID_AUDIO=input", "PULSE_SERVER=unix:/nonexistent/native"},
                        DV_E_NO_AUDIO},
        EnvironmentCase{
            "AudioFailsToStart", {"DESKVID_AUDIO=synthetic:fail-start"}, DV_E_NO_AUDIO}),
    [](const testing::TestParamInfo<EnvironmentCase>& info) { return info.param.pszName; });

// ---------------------------------------------------------------------------
// The host's process limits, set as `ulimit` sets them: whatever the engine
// meets, the host goes on and learns of it by a status (SIGXFSZ keeps its
// default, which would end the host).

class RecordLimits : public CRecordingTest {};

// A file-size limit met mid-recording (as a full disk would be): the stop
// says the write failed, and nothing is left beside the file.
TEST_F(RecordLimits, FileSizeLimitIsAFailedWrite) {
    const ProcessResult result =
        RunProcess({DESKVID_RECHOST, PathOf("full.wmv"), "2", "--file-size-limit=24576"});
    EXPECT_EQ(0, result.nExit) << result.strErr;
    EXPECT_EQ("start " + Hex(0) + "\nstop " + Hex(DV_E_WRITE) + "\n", result.strOut);
    EXPECT_EQ(std::vector<std::string>{"full.wmv"}, DirEntries());
}

// A start that cannot write its file (the limit set right before it) leaves
// the file that had the name byte for byte, a new name free, and nothing
// beside them.
TEST_F(RecordLimits, FailedStartKeepsTheExistingFile) {
    const std::string strPath = PathOf("precious.wmv");
    const std::string strContent(100000, 'k');
    std::ofstream(strPath, std::ios::binary) << strContent;
    for (const char* pszName : {"precious.wmv", "new.wmv"}) {
        SCOPED_TRACE(pszName);
        const ProcessResult result =
            RunProcess({DESKVID_RECHOST, PathOf(pszName), "1", "--start-size-limit=0"});
        EXPECT_EQ(0, result.nExit) << result.strErr;
        EXPECT_EQ(RefusedStartOutput(DV_E_FILE_OPEN), result.strOut);
    }
    std::stringstream content;
    content << std::ifstream(strPath, std::ios::binary).rdbuf();
    EXPECT_TRUE(content.str() == strContent);
    EXPECT_EQ(std::vector<std::string>{"precious.wmv"}, DirEntries());
}

// Memory running out on an engine thread (a screen grown to 16000x16000 with
// little address space to spare): a status and a finalised file. The
// sanitizers' allocators end the process instead of failing an allocation.
TEST_F(RecordLimits, MemoryRunningOutIsAStatus) {
#ifdef DESKVID_TEST_SANITIZED
    GTEST_SKIP() << "a sanitizer's allocator aborts where an allocation would fail";
#endif
    const std::string strPath = PathOf("memory.wmv");
    const ProcessResult result =
        RunProcess({DESKVID_RECHOST, strPath, "2", "--memory-headroom=268435456"},
                   {"DESKVID_SCREEN=synthetic:size=640x360,resize-at=10:16000x16000"});
    EXPECT_EQ(0, result.nExit) << result.strErr;
    EXPECT_EQ("start " + Hex(0) + "\nstop " + Hex(kEOutOfMemory) + "\n", result.strOut);
    ExpectDecodes(strPath);
}

// ---------------------------------------------------------------------------
// Durable files: what is written reaches the disk every couple of seconds
// (on the engine's threads, never the host's) and the header keeps up with
// it, so a host killed mid-recording leaves a file that shows its duration
// and seeks, and a file cut anywhere plays up to the cut.

class RecordKill : public CRecordingTest {};

// GStreamer's duration of a file in seconds (0 when it has none), and whether
// it seeks.
double GstDuration(const std::string& strPath, bool* pbSeekable) {
    const std::string strOut = RunProcess({"gst-discoverer-1.0", strPath}).strOut;
    *pbSeekable = strOut.find("Seekable: yes") != std::string::npos;
    const size_t nAt = strOut.find("Duration: ");
    int nHours = 0, nMinutes = 0;
    double dSeconds = 0;
    return nAt != std::string::npos && std::sscanf(strOut.c_str() + nAt, "Duration: %d:%d:%lf",
                                                   &nHours, &nMinutes, &dSeconds) == 3
               ? nHours * 3600 + nMinutes * 60 + dSeconds
               : 0;
}

// FFmpeg and GStreamer both show the duration of what is in the file, even
// of a short one.
TEST_F(RecordKill, KilledHostLeavesAFileWithItsDuration) {
#ifdef DESKVID_TEST_SANITIZED
    // The instrumented build runs several times slower, and the header's
    // refresh (every 250 ms) may lag as much again behind what was written.
    constexpr double kHeaderSlack = 2 * kSlack;
#else
    constexpr double kHeaderSlack = kSlack;
#endif
    for (const double dKilledAt : {7.0, 20.0}) {
        SCOPED_TRACE(dKilledAt);
        const std::string strPath = PathOf("killed.wmv");
        testproc::CChildProcess host;
        ASSERT_TRUE(host.Start({DESKVID_RECHOST, strPath, "-1"}));
        std::string strLine;
        ASSERT_TRUE(host.ReadStdoutLine(&strLine, 60));
        ASSERT_EQ("start " + Hex(0), strLine);
        Record(dKilledAt);
        host.Signal(SIGKILL);
        EXPECT_EQ(128 + SIGKILL, host.Wait(60));
        EXPECT_EQ("", host.Stderr());

        const ProcessResult decode =
            RunProcess({"ffmpeg", "-nostdin", "-v", "error", "-i", strPath, "-f", "null", "-"});
        EXPECT_EQ(0, decode.nExit) << decode.strErr;
        const double dDecodes = Media::Last(PacketTimes(strPath, "v:0"));
        EXPECT_GE(dDecodes, dKilledAt - 1.0);
        bool bSeekable = false;
        EXPECT_NEAR(GstDuration(strPath, &bSeekable), dDecodes, kHeaderSlack);
        EXPECT_TRUE(bSeekable);
        EXPECT_NEAR(std::atof(Probe(strPath).mapField["format.duration"].c_str()), dDecodes,
                    kHeaderSlack);
    }
}

TEST_F(RecordKill, SyncedOffTheHostsThreadAndPlayableToAnyCut) {
    const std::string strPath = PathOf("synced.wmv");
    const std::string strTrace = m_strDir + ".trace";
    const ProcessResult result =
        RunProcess({"strace", "-f", "-qq", "-o", strTrace, "-e",
                    "trace=execve,fsync,fdatasync,sync,syncfs,sync_file_range", DESKVID_RECHOST,
                    strPath, "10"});
    std::ifstream trace(strTrace);
    fs::remove(strTrace);
    if (result.strOut.empty()) {
        GTEST_SKIP() << "strace cannot trace here: " << result.strErr;
    }
    ASSERT_EQ("start " + Hex(0) + "\nstop " + Hex(0) + "\n", result.strOut);
    // "TID call(": the host's own thread is the one that ran execve.
    const std::regex call(R"(^(\d+) +(\w+)\()");
    std::string strHostThread;
    int nSyncs = 0;
    std::smatch match;
    for (std::string strLine; std::getline(trace, strLine);) {
        if (std::regex_search(strLine, match, call) && match[2] != "execve") {
            ++nSyncs;
            EXPECT_NE(strHostThread, match[1].str()) << strLine;
        } else if (strHostThread.empty() && !match.empty()) {
            strHostThread = match[1];
        }
    }
    EXPECT_GE(nSyncs, 4);

    const std::string strCut = PathOf("cut.wmv");
    for (const double dCut : {0.5, 0.9}) {
        SCOPED_TRACE(dCut);
        fs::copy_file(strPath, strCut, fs::copy_options::overwrite_existing);
        fs::resize_file(strCut, static_cast<uintmax_t>(fs::file_size(strPath) * dCut));
        EXPECT_GE(Media::Last(PacketTimes(strCut, "v:0")), 10 * dCut - 2.0);
        EXPECT_EQ(0, RunProcess({"gst-launch-1.0", "-q", "filesrc", "location=" + strCut, "!",
                                 "decodebin", "!", "fakesink"})
                         .nExit);
    }
}

// ---------------------------------------------------------------------------
// A host that uses FFmpeg itself keeps its own FFmpeg output while the library
// records, and after it unloads the library.

class RecordUnload : public CRecordingTest {};

TEST_F(RecordUnload, HostKeepsItsFfmpegLogging) {
    const std::string strPath = PathOf("host.wmv");
    const ProcessResult result = RunProcess({DESKVID_RECHOST, strPath, "1", "--ffmpeg-host"});
    EXPECT_EQ(0, result.nExit);
    EXPECT_EQ("start " + Hex(0) + "\nstop " + Hex(0) + "\n", result.strOut);
    EXPECT_EQ("host message while recording\nhost message after unloading\n", result.strErr);
    ExpectDecodes(strPath);
}

// ---------------------------------------------------------------------------
// Faults of the devices and the machine, scripted on the synthetic sources.

// Sets one variable of this process for one test; the engine reads it when a
// recording opens.
class CScopedEnv {
public:
    CScopedEnv(const char* pszName, const std::string& strValue) : m_strName(pszName) {
        const char* pszOld = std::getenv(pszName);
        m_bHad = pszOld != nullptr;
        m_strOld = m_bHad ? pszOld : "";
        setenv(pszName, strValue.c_str(), 1);
    }
    ~CScopedEnv() {
        if (m_bHad) {
            setenv(m_strName.c_str(), m_strOld.c_str(), 1);
        } else {
            unsetenv(m_strName.c_str());
        }
    }

private:
    std::string m_strName;
    std::string m_strOld;
    bool m_bHad = false;
};

class RecordFaults : public CRecordingTest {
protected:
    // Records strName for dSeconds with the default settings; the stop's
    // status and times in *pStop.
    Timed RecordFor(const std::string& strName, double dSeconds, Timed* pStop) {
        void* lpInstance = Create();
        const Timed start = StartFile(lpInstance, Utf16(PathOf(strName)));
        EXPECT_EQ(Hex(0), Hex(start.hr)) << DeskVidStatusText(start.hr);
        Record(dSeconds);
        *pStop = Command(lpInstance, CAPCMD_STOP);
        return start;
    }
};

// A screen that grows, shrinks and comes back: the recording keeps its size
// and its video goes on throughout.
TEST_F(RecordFaults, SizeChangesKeepVideoFlowing) {
    CScopedEnv screen("DESKVID_SCREEN",
                      "synthetic:size=640x360,resize-at=15:800x600,resize-at=30:320x240,"
                      "resize-at=45:640x360");
    Timed stop;
    const Timed start = RecordFor("resized.wmv", 3.5, &stop);
    EXPECT_EQ(Hex(0), Hex(stop.hr)) << DeskVidStatusText(stop.hr);
    ExpectRecording(PathOf("resized.wmv"), 640, 360, 20, Shortest(start, stop),
                    Longest(start, stop));
}

// A screen or audio server that stops answering: the stop returns within a
// second with the lost device's status and a finalised file.
TEST_F(RecordFaults, FrozenDevicesEndTheirStreamNotTheStop) {
    struct {
        const char* pszVariable;
        const char* pszValue;
        int32_t hr;
    } const rgCase[] = {
        {"DESKVID_SCREEN", "synthetic:size=640x360,freeze-at=20", DV_E_NO_DISPLAY},
        {"DESKVID_AUDIO", "synthetic:freeze-after=1000", DV_E_NO_AUDIO},
    };
    for (const auto& c : rgCase) {
        SCOPED_TRACE(c.pszValue);
        CScopedEnv env(c.pszVariable, c.pszValue);
        const std::string strName = std::string(c.pszVariable) + ".wmv";
        Timed stop;
        RecordFor(strName, 2.5, &stop);
        EXPECT_EQ(Hex(c.hr), Hex(stop.hr)) << DeskVidStatusText(stop.hr);
        EXPECT_LT(Seconds(stop.tBefore, stop.tAfter), 1.0);
        ExpectDecodes(PathOf(strName));
        const Media media = Probe(PathOf(strName));
        EXPECT_GE(Media::Last(media.rgdVideoPts), 0.5);
        EXPECT_GE(Media::Last(media.rgdAudioPts), 0.5);
    }
}

// A start followed at once by a stop still gives a frame and a duration,
// also when the screen has no new picture at the start.
TEST_F(RecordFaults, StartThenStopHoldsAFrame) {
    for (const char* pszScreen : {kSyntheticScreen, "synthetic:mode=idle,no-picture=1"}) {
        SCOPED_TRACE(pszScreen);
        CScopedEnv screen("DESKVID_SCREEN", pszScreen);
        Timed stop;
        RecordFor("quick.wmv", 0, &stop);
        EXPECT_EQ(Hex(0), Hex(stop.hr)) << DeskVidStatusText(stop.hr);
        ExpectDecodes(PathOf("quick.wmv"));
        const Media media = Probe(PathOf("quick.wmv"));
        EXPECT_GE(media.Number("video.nb_read_frames"), 1);
        EXPECT_GT(media.Number("format.duration"), 0);
    }
}

// The whole host stopped for two seconds (as by Ctrl-Z or a VM pause): audio
// and video still end within a frame of each other.
TEST_F(RecordFaults, StallKeepsAudioAndVideoTogether) {
    const std::string strPath = PathOf("stalled.wmv");
    testproc::CChildProcess host;
    ASSERT_TRUE(host.Start({DESKVID_RECHOST, strPath, "4"}));
    std::string strLine;
    ASSERT_TRUE(host.ReadStdoutLine(&strLine, 60));
    ASSERT_EQ("start " + Hex(0), strLine);
    Record(1.0);
    host.Signal(SIGSTOP);
    Record(2.0);
    host.Signal(SIGCONT);
    EXPECT_EQ(0, host.Wait(60));
    ExpectDecodes(strPath);
    const Media media = Probe(strPath);
    ASSERT_FALSE(media.rgdVideoPts.empty());
    ASSERT_FALSE(media.rgdAudioPts.empty());
    const double dVideoEnd = Media::Last(media.rgdVideoPts) + 0.05;
    // WMA2 frames of 2048 samples at 48 kHz; the encoder's delay stamps its
    // packets one frame early.
    const double dAudioFrame = 2048.0 / 48000;
    const double dAudioEnd = Media::Last(media.rgdAudioPts) + 2 * dAudioFrame;
    EXPECT_NEAR(dVideoEnd, dAudioEnd, 0.05);
    EXPECT_GE(dVideoEnd, 4.0 - kSlack);
}

#ifdef DESKVID_TEST_X11
// On a display of its own, the X server held grabbed by another client for
// 3 s, then stopped for 3 s: gaps counted as dropped frames, the recording
// following the screen after each, the stop successful.
TEST_F(RecordFaults, ScreenServerStallsAreGaps) {
    dvtest::CXvfb xvfb("1280x720x24");
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    CScopedEnv screen("DESKVID_SCREEN", "x11");
    CScopedEnv display("DISPLAY", xvfb.Display());
    dvtest::CClient client(xvfb.Display());
    Recording rec;
    ASSERT_NO_FATAL_FAILURE(StartRecording(&rec, "stalls.wmv"));
    int i = 0;
    auto MoveBoxUntil = [&](double dSeconds) {
        for (; Seconds(rec.start.tAfter, Clock::now()) < dSeconds; Record(0.05)) {
            client.Fill({(i * 16) % 1200, 300, 64, 64}, ++i % 2 ? 0xffffff : 0);
        }
    };
    MoveBoxUntil(4);
    client.GrabServer(true);
    Record(3);
    client.GrabServer(false);
    MoveBoxUntil(8);
    ASSERT_EQ(0, kill(xvfb.Pid(), SIGSTOP));
    Record(3);
    ASSERT_EQ(0, kill(xvfb.Pid(), SIGCONT));
    MoveBoxUntil(14);
    ExpectScreen(rec.strPath, rec.start, Stop(rec.lpInstance));
    const Media media = Probe(rec.strPath);
    auto Packets = [&](double dFrom, double dTo) {
        return std::count_if(media.rgdVideoPts.begin(), media.rgdVideoPts.end(),
                             [&](double d) { return d >= dFrom && d < dTo; });
    };
    EXPECT_GE(Packets(7.5, 8), 5);
    EXPECT_GE(Packets(11.5, 14), 25);
    EXPECT_GE(media.Number("format.tags.deskvid_dropped_frames"), 80);  // 2 s of each gap
}
#endif

// The name is a path, whatever it looks like: a file of exactly that name in
// the host's folder holds the recording, and nothing is written elsewhere
// (the host's standard output included).
TEST_F(RecordFaults, NamesAreAlwaysPaths) {
    for (const char* pszName : {"12:30:00 meeting.wmv", "file:x.wmv", "pipe:1", "http:x.wmv"}) {
        SCOPED_TRACE(pszName);
        const ProcessResult result =
            RunProcess({DESKVID_RECHOST, pszName, "1", "--chdir=" + m_strDir});
        EXPECT_EQ("start " + Hex(0) + "\nstop " + Hex(0) + "\n", result.strOut);
        EXPECT_EQ(std::vector<std::string>{pszName}, DirEntries());
        ExpectDecodes(PathOf(pszName));
        fs::remove(PathOf(pszName));
    }
}

// What is not a regular file is refused at once and stays as it was.
TEST_F(RecordFaults, OnlyRegularFilesAreOutputs) {
    const std::string strFifo = PathOf("fifo");
    ASSERT_EQ(0, mkfifo(strFifo.c_str(), 0600));
    ASSERT_TRUE(fs::create_directory(PathOf("folder")));
    void* lpInstance = Create();
    for (const std::string& strPath : {strFifo, PathOf("folder"), std::string("/dev/null")}) {
        SCOPED_TRACE(strPath);
        const Timed start = StartFile(lpInstance, Utf16(strPath));
        EXPECT_EQ(Hex(DV_E_FILE_OPEN), Hex(start.hr)) << DeskVidStatusText(start.hr);
        EXPECT_LT(Seconds(start.tBefore, start.tAfter), 1.0);
        ExpectIdle(lpInstance);
    }
    EXPECT_TRUE(fs::is_fifo(strFifo));
    EXPECT_TRUE(fs::is_empty(PathOf("folder")));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    std::vector<std::string> rgstr = DirEntries();
    std::sort(rgstr.begin(), rgstr.end());
    EXPECT_EQ((std::vector<std::string>{"fifo", "folder"}), rgstr);
}

// ---------------------------------------------------------------------------
// File names: any name the file system takes records, and a name is never
// taken for another.

class RecordNames : public CRecordingTest {};

// A 246-byte name, and the longest (255 bytes) cut short in the middle of a
// character where the temporary name beside it would be longer.
TEST_F(RecordNames, LongNamesRecord) {
    std::string strAccented;
    for (int i = 0; i < 125; ++i) {
        strAccented += "\xC3\xA9";  // e with an acute accent, two bytes
    }
    for (const std::string& strName : {std::string(242, 'a') + ".wmv", strAccented + "x.wmv"}) {
        SCOPED_TRACE(strName.size());
        const ProcessResult result =
            RunProcess({DESKVID_RECHOST, strName, "0.5", "--chdir=" + m_strDir});
        EXPECT_EQ("start " + Hex(0) + "\nstop " + Hex(0) + "\n", result.strOut);
        EXPECT_EQ(std::vector<std::string>{strName}, DirEntries());
        fs::remove(PathOf(strName));
    }
}

// A name that is not whole text (a lone surrogate) is refused; the file it
// would have become, with U+FFFD in its place, stays as it was.
TEST_F(RecordNames, LoneSurrogateIsRefused) {
    const std::string strMended = "x\xEF\xBF\xBD.wmv";
    std::ofstream(PathOf(strMended), std::ios::binary) << "kept";
    void* lpInstance = Create();
    const Timed start = StartFile(lpInstance, Utf16(PathOf("x")) + u'\xD800' + u".wmv");
    EXPECT_EQ(Hex(DV_E_FILE_OPEN), Hex(start.hr)) << DeskVidStatusText(start.hr);
    ExpectIdle(lpInstance);
    std::stringstream content;
    content << std::ifstream(PathOf(strMended), std::ios::binary).rdbuf();
    EXPECT_EQ("kept", content.str());
    EXPECT_EQ(std::vector<std::string>{strMended}, DirEntries());
}

}  // namespace
