// The sound track on the capture clock, through the library in a host
// process of its own: synthetic audio devices whose clocks run 0.5% fast or
// slow, one with a backlog at the start, two mixed with gaps. A beep at
// every whole second of the capture clock must stay where that clock puts
// it, with no piece cut, and the backlog must not be in the file.
#include "tests/common/HostTest.h"
#include "tests/linux/HostLibrary.h"
#include "tests/linux/PrivatePulse.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr int kRate = 48000;
constexpr int kBeepHz = 3000;

// The first sound track of strPath, mono at 48 kHz.
std::vector<float> DecodeSound(const std::string& strPath) {
    const testproc::SRunResult result =
        testproc::RunToEnd({"ffmpeg", "-v", "error", "-i", strPath, "-map", "0:a:0", "-ac", "1",
                            "-ar", "48000", "-f", "f32le", "-"},
                           120);
    std::vector<float> v(result.strOut.size() / sizeof(float));
    std::copy_n(result.strOut.data(), v.size() * sizeof(float), reinterpret_cast<char*>(v.data()));
    return v;
}

// The last video packet's time.
double VideoEnd(const std::string& strPath) {
    const testproc::SRunResult result =
        testproc::RunToEnd({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "packet=pts_time", "-of", "csv=p=0", strPath},
                           60);
    double dLast = 0;
    for (size_t n = 0; n < result.strOut.size();) {
        const size_t nEol = result.strOut.find('\n', n);
        dLast = std::max(dLast, std::atof(result.strOut.substr(n, nEol - n).c_str()));
        n = nEol == std::string::npos ? result.strOut.size() : nEol + 1;
    }
    return dLast;
}

// The amplitude of nHz in each millisecond, over nWindow of them (Hann
// window, so other pitches hardly leak in).
std::vector<double> Level(const std::vector<float>& v, int nHz, int nWindow) {
    constexpr int kHop = kRate / 1000;
    std::vector<double> vLevel;
    const double dCoeff = 2 * std::cos(2 * M_PI * nHz / kRate);
    const size_t nSpan = size_t(nWindow) * kHop;
    for (size_t n = 0; n + nSpan <= v.size(); n += kHop) {
        double s1 = 0;
        double s2 = 0;
        for (size_t i = n; i < n + nSpan; ++i) {
            const double dHann = 1 - std::cos(2 * M_PI * double(i - n) / double(nSpan));
            const double s0 = v[i] * dHann + dCoeff * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        vLevel.push_back(std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - dCoeff * s1 * s2)) * 2 /
                         double(nSpan));
    }
    return vLevel;
}

// Each beep's centre of energy, in seconds.
std::vector<double> Beeps(const std::vector<float>& vSound) {
    const std::vector<double> vLevel = Level(vSound, kBeepHz, 2);
    std::vector<double> vBeep;
    for (size_t i = 0; i < vLevel.size();) {
        if (vLevel[i] < 0.05) {
            ++i;
            continue;
        }
        const size_t nFrom = i > 30 ? i - 30 : 0;
        const size_t nTo = std::min(vLevel.size(), i + 120);
        double dSum = 0;
        double dMoment = 0;
        for (size_t j = nFrom; j < nTo; ++j) {
            const double dEnergy = vLevel[j] * vLevel[j];
            dSum += dEnergy;
            dMoment += dEnergy * double(j);
        }
        vBeep.push_back((dMoment / dSum + 1) / 1000);
        i = nTo;
    }
    return vBeep;
}

double Peak(const std::vector<float>& vSound, int nHz, double dFrom, double dTo) {
    const std::vector<double> vLevel = Level(vSound, nHz, 40);
    double dPeak = 0;
    for (size_t i = size_t(dFrom * 1000); i < vLevel.size() && i < size_t(dTo * 1000); ++i) {
        dPeak = std::max(dPeak, vLevel[i]);
    }
    return dPeak;
}

// Every beep a whole number of seconds from the others (within 20 ms of
// where the capture clock puts it), none moved against the one before
// (a piece cut or silence put in) once the first 2 s have passed, in which a
// server's latency estimate, and so its stamps, may still settle.
void ExpectBeepsOnTheClock(const std::vector<double>& vBeep, double dSeconds) {
    ASSERT_GE(vBeep.size(), size_t(dSeconds * 0.8));
    std::vector<double> vOffset;
    for (double d : vBeep) {
        vOffset.push_back(d - std::round(d - vBeep.front()));
    }
    std::vector<double> vSorted = vOffset;
    std::sort(vSorted.begin(), vSorted.end());
    const double dMedian = vSorted[vSorted.size() / 2];
    std::string strOffsets;  // in ms, for a failure's message
    for (double d : vOffset) {
        strOffsets += std::to_string(int(std::lround((d - dMedian) * 1000))) + " ";
    }
    for (size_t i = 0; i < vBeep.size(); ++i) {
        EXPECT_NEAR(dMedian, vOffset[i], 0.020) << "beep at " << vBeep[i] << ": " << strOffsets;
        if (i > 0 && vBeep[i - 1] > 2 && vBeep[i] - vBeep[i - 1] < 1.5) {
            EXPECT_NEAR(1.0, vBeep[i] - vBeep[i - 1], 0.008) << "beep at " << vBeep[i];
        }
    }
}

struct Recorded {
    testproc::SRunResult result;
    std::vector<float> vSound;
    double dVideoEnd = 0;
};

// Records dSeconds of the synthetic screen and the sound pszAudio chooses
// (unset when null).
void Record(const std::string& strPath, const char* pszAudio, double dSeconds, Recorded* pRec,
            std::vector<std::string> rgstrEnv = {}) {
    rgstrEnv.push_back("DESKVID_SCREEN=synthetic:size=320x240");
    rgstrEnv.push_back(pszAudio != nullptr ? std::string("DESKVID_AUDIO=") + pszAudio
                                           : "DESKVID_AUDIO");
    pRec->result = testproc::RunToEnd({DESKVID_RECHOST, strPath, std::to_string(dSeconds)},
                                      int(dSeconds) + 60, rgstrEnv);
    pRec->vSound = DecodeSound(strPath);
    pRec->dVideoEnd = VideoEnd(strPath);
}

// Two recordings side by side: one device 0.5% fast that hands over 3 s of
// backlog when connected; one 0.5% slow mixed with a second device 0.5%
// fast, each with a 2 s gap.
TEST(AudioTiming, DevicesOffTheClockStayOnIt) {
    constexpr double kSeconds = 60;
    testproc::CTempDir dir;
    Recorded fast;
    Recorded mixed;
    const std::string strFast = dir.File("fast.wmv");
    const std::string strMixed = dir.File("mixed.wmv");
    const std::string strBeep = "synthetic:beep=" + std::to_string(kBeepHz);
    std::thread th(
        [&] { Record(strFast, (strBeep + ",rate=1.005,backlog=3000").c_str(), kSeconds, &fast); });
    Record(strMixed,
           (strBeep + ",rate=0.995,gap=20000:2000+synthetic:tone=440,rate=1.005,gap=40000:2000")
               .c_str(),
           kSeconds, &mixed);
    th.join();
    for (const Recorded* pRec : {&fast, &mixed}) {
        SCOPED_TRACE(pRec == &fast ? "fast with backlog" : "mixed with gaps");
        EXPECT_EQ("start 0x00000000\nstop 0x00000000\n", pRec->result.strOut)
            << pRec->result.strErr;
        const double dSound = double(pRec->vSound.size()) / kRate;
        // The video's last frame lasts a slot (50 ms).
        EXPECT_NEAR(pRec->dVideoEnd + 0.05, dSound, 0.15);
        ExpectBeepsOnTheClock(Beeps(pRec->vSound), kSeconds);
    }
    // Not a moment of the backlog.
    EXPECT_LT(Peak(fast.vSound, 2500, 0, 1e9), 0.05);
    // The tone in the mix, and silence in its place during its gap (it
    // started a little before the recording).
    EXPECT_GT(Peak(mixed.vSound, 440, 38, 39), 0.1);
    EXPECT_LT(Peak(mixed.vSound, 440, 40.3, 41.7), 0.01);
    EXPECT_GT(Peak(mixed.vSound, 440, 42.3, 43), 0.1);
    // The beeps around the beep source's own gap.
    const std::vector<double> vBeep = Beeps(mixed.vSound);
    EXPECT_TRUE(
        std::none_of(vBeep.begin(), vBeep.end(), [](double d) { return d > 20.3 && d < 21.7; }));
}

// One of two sources mixed is lost after a second: the other records on to
// the end, and the stop reports the loss.
TEST(AudioTiming, LostSourceLeavesTheOther) {
    testproc::CTempDir dir;
    Recorded rec;
    Record(dir.File("lost.wmv"), "synthetic:beep=3000,freeze-after=1000+synthetic:tone=440", 3,
           &rec);
    EXPECT_EQ("start 0x00000000\nstop 0x80040204\n", rec.result.strOut);  // DV_E_NO_AUDIO
    EXPECT_NEAR(rec.dVideoEnd + 0.05, double(rec.vSound.size()) / kRate, 0.15);
    EXPECT_GT(Peak(rec.vSound, 440, 2.2, 2.8), 0.1);
    EXPECT_LT(Peak(rec.vSound, kBeepHz, 1.5, 2.8), 0.01);
}

int64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// When a command ran: the middle of the call.
int64_t CommandAt(int64_t nUs, IWMEncDeskVid* pCapture, int nCommand, CAPTURE_PARAMS* pParams) {
    timespec ts = {time_t(nUs / 1000000), long(nUs % 1000000) * 1000};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    const int64_t nBefore = NowUs();
    EXPECT_EQ(0, pCapture->Control(nCommand, pParams)) << nCommand;
    return (nBefore + NowUs()) / 2;
}

// A device that hands over 700 ms at a time: the block spanning a pause goes
// in only up to the pause (the beep 30 ms after it is not recorded), and the
// sound after the resume follows the time the pause cut out.
TEST(AudioTiming, PauseCutsAtTheSample) {
    setenv("DESKVID_SCREEN", "synthetic:size=320x240", 1);
    setenv("DESKVID_AUDIO", ("synthetic:block=700,beep=" + std::to_string(kBeepHz)).c_str(), 1);
    testproc::CTempDir dir;
    const std::string strPath = dir.File("paused.wmv");
    const std::u16string wstrPath(strPath.begin(), strPath.end());
    CHostLibrary lib;
    ASSERT_TRUE(lib.Load());
    void* lpInstance = lib.m_pfnCreateInstance(DESKVID_INTERFACE_NAME);
    auto* pCapture = static_cast<IWMEncDeskVid*>(lpInstance);
    CAPTURE_PARAMS params = {};
    params.dwMask = CAPF_FILE;
    params.lpwszFile = wstrPath.c_str();
    const int64_t nSecond = (NowUs() / 1000000 + 1) * 1000000;
    CommandAt(nSecond + 300000, pCapture, CAPCMD_START, &params);
    const int64_t nPause = CommandAt(nSecond + 2970000, pCapture, CAPCMD_PAUSE, nullptr);
    const int64_t nResume = CommandAt(nSecond + 3500000, pCapture, CAPCMD_START, nullptr);
    CommandAt(nSecond + 5800000, pCapture, CAPCMD_STOP, nullptr);
    lib.m_pfnDestroyInstance(lpInstance);
    lib.Unload();
    unsetenv("DESKVID_AUDIO");

    // Beeps at 1 and 2 s (file ~0.7, 1.7), none at 3, then 4 and 5 s, 2 s
    // of capture clock after the one before less the pause.
    const std::vector<double> vBeep = Beeps(DecodeSound(strPath));
    ASSERT_EQ(4u, vBeep.size()) << testing::PrintToString(vBeep);
    EXPECT_NEAR(1.0, vBeep[1] - vBeep[0], 0.008);
    EXPECT_NEAR(2.0 - double(nResume - nPause) / 1e6, vBeep[2] - vBeep[1], 0.01);
    EXPECT_NEAR(1.0, vBeep[3] - vBeep[2], 0.008);
}

// Feeds a PulseAudio pipe source as a device whose clock runs dRate times
// ours would: every 10 ms the samples due by then, with a 50 ms beep at every
// whole second of our clock. What the server does not take is lost.
class CPipeFeeder {
public:
    CPipeFeeder(const std::string& strFifo, double dRate)
        : m_fd(open(strFifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)), m_dRate(dRate) {
        if (m_fd >= 0) {
            m_thread = std::thread(&CPipeFeeder::Run, this);
        }
    }
    ~CPipeFeeder() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    bool Ok() const { return m_fd >= 0; }

private:
    void Run() {
        const int64_t nStartUs = NowUs();
        const double dPerUs = kRate * m_dRate / 1e6;
        std::vector<int16_t> vBlock;
        for (int64_t n = 0; !m_bStop; usleep(10000)) {
            const auto nDue = int64_t(double(NowUs() - nStartUs) * dPerUs);
            vBlock.clear();
            for (; n < nDue; ++n) {
                const int64_t nUs = nStartUs + int64_t(double(n) / dPerUs);
                const bool bBeep = nUs % 1000000 < 50000;
                const auto nSample =
                    int16_t(bBeep ? 8000 * std::sin(2 * M_PI * kBeepHz * double(n) / kRate) : 0);
                vBlock.push_back(nSample);
                vBlock.push_back(nSample);
            }
            const ssize_t nIgnored = write(m_fd, vBlock.data(), vBlock.size() * sizeof(int16_t));
            (void)nIgnored;
        }
    }

    const int m_fd;
    const double m_dRate;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// The same through a real server: pipe sources fed 0.5% fast and 0.5% slow,
// each recorded as the default input.
TEST(AudioPulse, PipeSourcesOffTheClock) {
    constexpr double kSeconds = 30;
    testproc::CTempDir dir;
    CPrivateServer server;
    const std::string strFormat = " format=s16le rate=48000 channels=2";
    if (!server.Start({"module-pipe-source source_name=fast file=" + dir.File("fast") + strFormat,
                       "module-pipe-source source_name=slow file=" + dir.File("slow") + strFormat,
                       "module-null-sink sink_name=speaker rate=48000"})) {
        GTEST_SKIP() << "pulseaudio could not be started for this test";
    }
    CPipeFeeder fastFeed(dir.File("fast"), 1.005);
    CPipeFeeder slowFeed(dir.File("slow"), 0.995);
    ASSERT_TRUE(fastFeed.Ok() && slowFeed.Ok());
    Recorded fast;
    Recorded slow;
    std::thread th([&] {
        Record(dir.File("fast.wmv"), "input", kSeconds, &fast,
               {"PULSE_SERVER=" + server.Address(), "PULSE_SOURCE=fast"});
    });
    Record(dir.File("slow.wmv"), "input", kSeconds, &slow,
           {"PULSE_SERVER=" + server.Address(), "PULSE_SOURCE=slow"});
    th.join();
    for (const Recorded* pRec : {&fast, &slow}) {
        SCOPED_TRACE(pRec == &fast ? "fast" : "slow");
        EXPECT_EQ("start 0x00000000\nstop 0x00000000\n", pRec->result.strOut)
            << pRec->result.strErr;
        ExpectBeepsOnTheClock(Beeps(pRec->vSound), kSeconds);
    }
}

// A speaker (the default sink) playing 440 Hz and a microphone (the default
// source) carrying 1000 Hz: each choice records what it names, for as long
// as the picture lasts; an unknown choice refuses the start.
TEST(AudioPulse, EachChoiceRecordsWhatItNames) {
    CPrivateServer server;
    if (!server.Start({"module-null-sink sink_name=speaker rate=48000",
                       "module-sine sink=speaker frequency=440",
                       "module-null-sink sink_name=voice rate=48000",
                       "module-sine sink=voice frequency=1000",
                       "module-remap-source master=voice.monitor source_name=mic"})) {
        GTEST_SKIP() << "pulseaudio could not be started for this test";
    }
    ASSERT_EQ(0, server.Control({"set-default-sink", "speaker"}));
    ASSERT_EQ(0, server.Control({"set-default-source", "mic"}));
    testproc::CTempDir dir;
    const struct {
        const char* pszAudio;
        bool bSpeaker;
        bool bMicrophone;
    } rgCase[] = {{nullptr, false, true},
                  {"input", false, true},
                  {"output", true, false},
                  {"both", true, true}};
    for (const auto& c : rgCase) {
        SCOPED_TRACE(c.pszAudio != nullptr ? c.pszAudio : "(unset)");
        Recorded rec;
        Record(dir.File("choice.wmv"), c.pszAudio, 4.5, &rec, {"PULSE_SERVER=" + server.Address()});
        ASSERT_EQ("start 0x00000000\nstop 0x00000000\n", rec.result.strOut) << rec.result.strErr;
        EXPECT_NEAR(rec.dVideoEnd + 0.05, double(rec.vSound.size()) / kRate, 0.15);
        // A null sink's monitor may take 2 s to deliver its first samples.
        const double dSpeaker = Peak(rec.vSound, 440, 2.5, 4);
        const double dMicrophone = Peak(rec.vSound, 1000, 2.5, 4);
        EXPECT_EQ(c.bSpeaker, dSpeaker > 0.05) << dSpeaker;
        EXPECT_EQ(c.bMicrophone, dMicrophone > 0.05) << dMicrophone;
        EXPECT_TRUE(dSpeaker > 0.05 || dSpeaker < 0.005) << dSpeaker;
        EXPECT_TRUE(dMicrophone > 0.05 || dMicrophone < 0.005) << dMicrophone;
    }
    const testproc::SRunResult result =
        testproc::RunToEnd({DESKVID_RECHOST, dir.File("refused.wmv"), "1"}, 60,
                           {"DESKVID_AUDIO=speakers", "DESKVID_SCREEN=synthetic:size=320x240"});
    EXPECT_EQ(0u, result.strOut.find("start 0x80040205\n")) << result.strOut;  // DV_E_BAD_INPUT
}

}  // namespace
