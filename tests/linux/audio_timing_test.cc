// The sound track on the capture clock, through the library: audio devices
// whose clocks run 0.5% fast or slow beep at every whole second of the
// capture clock; each beep must stay where that clock puts it, with no piece
// cut. Also a backlog at the start, gaps, a lost source, a pause, and which
// sound each DESKVID_AUDIO choice records, on PulseAudio servers of the
// tests' own.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/HostTest.h"
#include "tests/linux/HostLibrary.h"
#include "tests/linux/PrivatePulse.h"

namespace {

constexpr int kRate = 48000;
const std::string kBeep = "synthetic:beep=3000";

int64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The loudest nHz (Hann window of 40 ms, or 2 ms for beeps) from dFrom to dTo
// seconds; with pvBeeps, the centre of each beep of 3000 Hz instead, and with
// pvEnergy each beep's energy too.
double Peak(const std::vector<float>& v, int nHz, double dFrom, double dTo,
            std::vector<double>* pvBeeps = nullptr, std::vector<double>* pvEnergy = nullptr) {
    const size_t nSpan = pvBeeps != nullptr ? 96 : 1920;
    const double dCoeff = 2 * std::cos(2 * M_PI * nHz / kRate);
    double dPeak = 0;
    double dSum = 0;
    double dMoment = 0;
    int nLeft = 0;  // milliseconds of the beep still to weigh
    for (size_t n = size_t(dFrom * kRate); n + nSpan <= v.size() && n < dTo * kRate; n += 48) {
        double s1 = 0;
        double s2 = 0;
        for (size_t i = 0; i < nSpan; ++i) {
            const double s0 =
                v[n + i] * (1 - std::cos(2 * M_PI * double(i) / double(nSpan))) + dCoeff * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double d = std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - dCoeff * s1 * s2)) * 2 / nSpan;
        dPeak = std::max(dPeak, d);
        if (pvBeeps != nullptr && (nLeft > 0 || d > 0.05)) {  // weighed over 120 ms from its onset
            nLeft = nLeft > 0 ? nLeft - 1 : 120;
            dSum += d * d;
            dMoment += d * d * (double(n) + nSpan / 2.0) / kRate;
            if (nLeft == 0) {
                pvBeeps->push_back(dMoment / dSum);
                if (pvEnergy != nullptr) {
                    pvEnergy->push_back(dSum);
                }
                dSum = dMoment = 0;
            }
        }
    }
    return dPeak;
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

// Every beep a whole number of seconds from the others within 20 ms, and
// after the first 2 s (a server's stamps may still settle) none moved
// against the one before (a piece cut or silence put in). A device's gap may
// begin or end within a beep: a beep beside a gap that lacks part of its
// sound has its centre moved by the cut, so it is left out. A sanitizer's
// build runs several times slower, the test's own feeding threads with it,
// and its first seconds' stamps settle further: there the bounds are twice
// as wide (the uninstrumented suite holds the precision).
void ExpectBeepsOnTheClock(const std::vector<float>& vSound, size_t nAtLeast) {
#ifdef DESKVID_TEST_SANITIZED
    constexpr double kPlace = 0.040, kStep = 0.016;
#else
    constexpr double kPlace = 0.020, kStep = 0.008;
#endif
    std::vector<double> vFound;
    std::vector<double> vEnergy;
    Peak(vSound, 3000, 0, 1e9, &vFound, &vEnergy);
    const double dWhole = Median(vEnergy);
    std::vector<double> vBeep;
    for (size_t i = 0; i < vFound.size(); ++i) {
        const bool bBesideGap = i == 0 || i + 1 == vFound.size() ||
                                vFound[i] - vFound[i - 1] > 1.5 || vFound[i + 1] - vFound[i] > 1.5;
        if (!bBesideGap || vEnergy[i] > 0.8 * dWhole) {
            vBeep.push_back(vFound[i]);
        }
    }
    ASSERT_GE(vBeep.size(), nAtLeast);
    std::vector<double> vOffset;
    for (double d : vBeep) {
        vOffset.push_back(d - std::round(d - vBeep.front()));
    }
    const double dMedian = Median(vOffset);
    std::string strOffsets;  // in ms, for a failure's message
    for (double d : vOffset) {
        strOffsets += std::to_string(std::lround((d - dMedian) * 1000)) + " ";
    }
    for (size_t i = 0; i < vBeep.size(); ++i) {
        EXPECT_NEAR(dMedian, vOffset[i], kPlace) << "beep at " << vBeep[i] << ": " << strOffsets;
        if (i > 0 && vBeep[i - 1] > 2 && vBeep[i] - vBeep[i - 1] < 1.5) {
            EXPECT_NEAR(vOffset[i - 1], vOffset[i], kStep) << "beep at " << vBeep[i];
        }
    }
}

struct Recorded {
    std::string strOut;         // the host's statuses
    std::vector<float> vSound;  // mono, 48 kHz
    double dVideoEnd = 0;       // the last frame's end
};

// What strPath holds: its sound and where its video ends.
Recorded Decode(const std::string& strPath) {
    Recorded rec;
    const std::string strPcm = testproc::RunToEnd({"ffmpeg", "-v", "error", "-i", strPath, "-ac",
                                                   "1", "-ar", "48000", "-f", "f32le", "-"},
                                                  120)
                                   .strOut;
    rec.vSound.resize(strPcm.size() / sizeof(float));
    std::copy_n(strPcm.data(), rec.vSound.size() * sizeof(float),
                reinterpret_cast<char*>(rec.vSound.data()));
    const std::string strPts =
        testproc::RunToEnd({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "packet=pts_time", "-of", "csv=p=0", strPath},
                           60)
            .strOut;
    rec.dVideoEnd = std::atof(strPts.c_str() + strPts.rfind('\n', strPts.size() - 2) + 1) + 0.05;
    return rec;
}

// Records dSeconds of a synthetic screen with the sound pszAudio chooses
// (unset when null), in a host process of its own.
Recorded Record(const std::string& strPath, const char* pszAudio, double dSeconds,
                std::vector<std::string> vEnv = {}) {
    vEnv.push_back("DESKVID_SCREEN=synthetic:size=320x240");
    vEnv.push_back(pszAudio != nullptr ? std::string("DESKVID_AUDIO=") + pszAudio
                                       : "DESKVID_AUDIO");
    const std::string strOut =
        testproc::RunToEnd({DESKVID_RECHOST, strPath, std::to_string(dSeconds)}, int(dSeconds) + 60,
                           vEnv)
            .strOut;
    Recorded rec = Decode(strPath);
    rec.strOut = strOut;
    return rec;
}

double Seconds(const Recorded& rec) {
    return double(rec.vSound.size()) / kRate;
}

// Side by side: one device 0.5% fast that hands over 3 s of backlog when
// connected; one 0.5% slow mixed with a tone 0.5% fast, each with a 2 s gap;
// two mixed of which one is lost after a second.
TEST(AudioTiming, DevicesOffTheClockStayOnIt) {
    testproc::CTempDir dir;
    Recorded fast;
    Recorded lost;
    std::thread th([&] {
        fast = Record(dir.File("fast.wmv"), (kBeep + ",rate=1.005,backlog=3000").c_str(), 60);
        lost = Record(dir.File("lost.wmv"), (kBeep + ",freeze-after=1000+synthetic").c_str(), 3);
    });
    Recorded mixed = Record(
        dir.File("mixed.wmv"),
        (kBeep + ",rate=0.995,gap=20000:2000+synthetic:tone=440,rate=1.005,gap=40000:2000").c_str(),
        60);
    th.join();
    for (const Recorded* pRec : {&fast, &mixed}) {
        SCOPED_TRACE(pRec == &fast ? "fast with backlog" : "mixed with gaps");
        EXPECT_EQ("start 0x00000000\nstop 0x00000000\n", pRec->strOut);
        EXPECT_NEAR(pRec->dVideoEnd, Seconds(*pRec), 0.15);
        ExpectBeepsOnTheClock(pRec->vSound, 48);
    }
    EXPECT_LT(Peak(fast.vSound, 2500, 0, 1e9), 0.05);  // not a moment of the backlog
    // The tone (which started a little before the recording) and its gap.
    EXPECT_GT(Peak(mixed.vSound, 440, 38, 39), 0.1);
    EXPECT_LT(Peak(mixed.vSound, 440, 40.3, 41.7), 0.01);
    EXPECT_GT(Peak(mixed.vSound, 440, 42.3, 43), 0.1);
    EXPECT_LT(Peak(mixed.vSound, 3000, 20.3, 21.7), 0.01);  // the beeps' own gap
    // The lost source is reported; the other records to the end.
    EXPECT_EQ("start 0x00000000\nstop 0x80040204\n", lost.strOut);  // DV_E_NO_AUDIO
    EXPECT_NEAR(lost.dVideoEnd, Seconds(lost), 0.15);
    EXPECT_GT(Peak(lost.vSound, 440, 2.2, 2.8), 0.1);
    EXPECT_LT(Peak(lost.vSound, 3000, 1.5, 2.8), 0.01);
}

// A device that hands over 700 ms at a time: the block spanning a pause goes
// in only up to the pause (the beep 30 ms after it is not recorded), and the
// sound after the resume follows the time the pause cut out.
TEST(AudioTiming, PauseCutsAtTheSample) {
    setenv("DESKVID_SCREEN", "synthetic:size=320x240", 1);
    setenv("DESKVID_AUDIO", (kBeep + ",block=700").c_str(), 1);
    testproc::CTempDir dir;
    const std::string strPath = dir.File("paused.wmv");
    const std::u16string wstrPath(strPath.begin(), strPath.end());
    CHostLibrary lib;
    ASSERT_TRUE(lib.Load());
    auto* pCapture = static_cast<IWMEncDeskVid*>(lib.m_pfnCreateInstance(DESKVID_INTERFACE_NAME));
    CAPTURE_PARAMS params = {};
    params.dwMask = CAPF_FILE;
    params.lpwszFile = wstrPath.c_str();
    const int64_t nSecond = (NowUs() / 1000000 + 1) * 1000000;
    int64_t rgnAt[4] = {};  // the middle of each command
    const std::pair<int, int64_t> rgCommand[] = {{CAPCMD_START, 300000},
                                                 {CAPCMD_PAUSE, 2970000},
                                                 {CAPCMD_START, 3500000},
                                                 {CAPCMD_STOP, 5800000}};
    for (int i = 0; i < 4; ++i) {
        const int64_t nUs = nSecond + rgCommand[i].second;
        const timespec ts = {time_t(nUs / 1000000), long(nUs % 1000000) * 1000};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        const int64_t nBefore = NowUs();
        EXPECT_EQ(0, pCapture->Control(rgCommand[i].first, i == 0 ? &params : nullptr));
        rgnAt[i] = (nBefore + NowUs()) / 2;
    }
    lib.m_pfnDestroyInstance(pCapture);
    lib.Unload();
    unsetenv("DESKVID_AUDIO");

    // Beeps at 1 and 2 s, none at 3, then 4 and 5 s: 2 s of capture clock
    // after the one before less the pause.
    std::vector<double> vBeep;
    Peak(Decode(strPath).vSound, 3000, 0, 1e9, &vBeep);
    ASSERT_EQ(4u, vBeep.size()) << testing::PrintToString(vBeep);
    EXPECT_NEAR(1.0, vBeep[1] - vBeep[0], 0.008);
    EXPECT_NEAR(2.0 - double(rgnAt[2] - rgnAt[1]) / 1e6, vBeep[2] - vBeep[1], 0.01);
    EXPECT_NEAR(1.0, vBeep[3] - vBeep[2], 0.008);
}

// The tone within 10 Hz of dHz in the second of v from dFrom: the peak of
// its spectrum (Hann window), interpolated between the values on each side
// of it, twice.
double Pitch(const std::vector<float>& v, double dHz, double dFrom) {
    const auto nFrom = size_t(dFrom * kRate);
    const auto level = [&](double dAt) {
        const double dCoeff = 2 * std::cos(2 * M_PI * dAt / kRate);
        double s1 = 0, s2 = 0;
        for (size_t i = 0; i < size_t(kRate); ++i) {
            const double s0 =
                v[nFrom + i] * (1 - std::cos(2 * M_PI * double(i) / kRate)) + dCoeff * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        return std::log(std::max(1e-30, s1 * s1 + s2 * s2 - dCoeff * s1 * s2));
    };
    double dPeak = dHz;
    for (double d = dHz - 10; d <= dHz + 10; ++d) {  // the bin it is in, within 1%
        dPeak = level(d) > level(dPeak) ? d : dPeak;
    }
    for (double dStep : {1.0, 0.25}) {
        const double a = level(dPeak - dStep), b = level(dPeak), c = level(dPeak + dStep);
        if (a - 2 * b + c < 0) {
            dPeak += dStep * 0.5 * (a - c) / (a - 2 * b + c);
        }
    }
    return dPeak;
}

// The same through a real server: pipe sources fed as devices 0.5% fast and
// 0.5% slow would be (every 10 ms the samples due, a beep at every whole
// second of our clock over a steady tone; what the server does not take is
// lost), each recorded as the default input.
TEST(AudioPulse, PipeSourcesOffTheClock) {
    testproc::CTempDir dir;
    CPrivateServer server;
    const std::string strPipe = " format=s16le rate=48000 channels=2 file=" + dir.Path() + "/";
    if (!server.Start({"module-pipe-source source_name=fast" + strPipe + "fast",
                       "module-pipe-source source_name=slow" + strPipe + "slow"})) {
        GTEST_SKIP() << "pulseaudio could not be started for this test";
    }
    std::atomic<bool> bStop{false};
    const auto feed = [&](const char* pszName, double dRate) {
        const int fd = open(dir.File(pszName).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const int64_t nStartUs = NowUs();
        const double dPerUs = kRate * dRate / 1e6;
        std::vector<int16_t> v;
        for (int64_t n = 0; fd >= 0 && !bStop; usleep(10000)) {
            for (v.clear(); n < int64_t(double(NowUs() - nStartUs) * dPerUs); ++n) {
                const bool bBeep = (nStartUs + int64_t(double(n) / dPerUs)) % 1000000 < 50000;
                const double dPhase = 2 * M_PI * double(n) / kRate;
                v.insert(v.end(), 2,
                         int16_t((bBeep ? 8000 * std::sin(3000 * dPhase) : 0) +
                                 2000 * std::sin(1000 * dPhase)));
            }
            if (write(fd, v.data(), v.size() * sizeof(int16_t)) < 0) {
                continue;  // the pipe is full: lost, as a device's overrun
            }
        }
        if (fd >= 0) {
            close(fd);
        }
    };
    std::thread thFast(feed, "fast", 1.005);
    std::thread thSlow(feed, "slow", 0.995);
    Recorded fast;
    std::thread th([&] {
        fast = Record(dir.File("fast.wmv"), "input", 30,
                      {"PULSE_SERVER=" + server.Address(), "PULSE_SOURCE=fast"});
    });
    Recorded slow = Record(dir.File("slow.wmv"), "input", 30,
                           {"PULSE_SERVER=" + server.Address(), "PULSE_SOURCE=slow"});
    th.join();
    bStop = true;
    thFast.join();
    thSlow.join();
    for (const Recorded* pRec : {&fast, &slow}) {
        SCOPED_TRACE(pRec == &fast ? "fast" : "slow");
        EXPECT_EQ("start 0x00000000\nstop 0x00000000\n", pRec->strOut);
        ExpectBeepsOnTheClock(pRec->vSound, 24);
        // The device's tone at the device's pitch: once its rate is known, it
        // moves by no more than anyone would hear.
        const double dTone = pRec == &fast ? 1005 : 995;
        for (double dFrom = 10; dFrom + 2 <= Seconds(*pRec); ++dFrom) {
            EXPECT_NEAR(Pitch(pRec->vSound, dTone, dFrom) / Pitch(pRec->vSound, dTone, dFrom + 1),
                        1, 300e-6)
                << dFrom;
        }
    }
}

// The level in dBFS of all but the tones rgdHz (10 Hz either side of each)
// from dFrom to dTo, over windows of 32768 samples (Hann): what is left of a
// window's energy once its spectrum near the tones is taken out.
double Residual(const std::vector<float>& v, std::vector<double> rgdHz, double dFrom, double dTo) {
    constexpr size_t kN = 32768;
    std::vector<double> vW(kN);
    double dNoise = 0, dWeight = 0;
    for (size_t n = size_t(dFrom * kRate); n + kN <= v.size() && n + kN <= dTo * kRate; n += kN) {
        double dTotal = 0;
        for (size_t i = 0; i < kN; ++i) {
            vW[i] = v[n + i] * 0.5 * (1 - std::cos(2 * M_PI * double(i) / kN));
            dTotal += vW[i] * vW[i];
            dWeight += 0.375;  // the window's mean square
        }
        double dTones = 0;  // Parseval: the energy of those bins, as a share
        for (double dHz : rgdHz) {
            const long nBin = std::lround(dHz * kN / kRate);
            for (long k = nBin - 7; k <= nBin + 7; ++k) {
                const double dCoeff = 2 * std::cos(2 * M_PI * double(k) / kN);
                double s1 = 0, s2 = 0;
                for (size_t i = 0; i < kN; ++i) {
                    const double s0 = vW[i] + dCoeff * s1 - s2;
                    s2 = s1;
                    s1 = s0;
                }
                dTones += 2 * (s1 * s1 + s2 * s2 - dCoeff * s1 * s2) / kN;  // and its mirror
            }
        }
        dNoise += std::max(0.0, dTotal - dTones);
    }
    return 10 * std::log10(std::max(1e-20, dNoise / std::max(dWeight, 1.0)));
}

// A speaker (the default sink) playing 440 Hz and a microphone (the default
// source) carrying 1000 Hz, each at -3 dBFS, on devices that run on the
// system's clock as ours: each choice records what it names, from the first
// 100 ms (the tones play before the start), for as long as the picture
// lasts, and each tone keeps its pitch within 500 ppm in every second from
// the first on; the two mixed never reach full scale; the resampling adds
// no more noise than FFmpeg's own WMA2 path leaves on the same input (3 dB).
// An unknown choice refuses the start (DV_E_BAD_INPUT).
TEST(AudioPulse, EachChoiceRecordsWhatItNamesAtItsPitch) {
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
    for (const char* pszInput : {"0", "1"}) {  // the sines, from -6 to -3 dBFS
        ASSERT_EQ(0, server.Control({"set-sink-input-volume", pszInput, "3dB"}));
    }
    testproc::CTempDir dir;
    const std::string strServer = "PULSE_SERVER=" + server.Address();
    for (const char* pszAudio : {"", "speakers"}) {
        const Recorded rec = Record(dir.File(std::string(pszAudio) + "default.wmv"),
                                    *pszAudio ? pszAudio : nullptr, 4, {strServer});
        EXPECT_EQ(*pszAudio ? "start 0x80040205\n" : "start 0x00000000\nstop 0x00000000\n",
                  rec.strOut.substr(0, *pszAudio ? 17 : std::string::npos));
        EXPECT_EQ(*pszAudio == 0, Peak(rec.vSound, 1000, 2.5, 3.5) > 0.1);
    }
    constexpr double kSeconds = 30;
    const std::vector<std::string> rgstrChoice = {"input", "output", "both"};
    std::vector<Recorded> vRec(rgstrChoice.size());
    std::vector<std::thread> vThread;
    for (size_t i = 0; i < rgstrChoice.size(); ++i) {
        vThread.emplace_back([&, i] {
            vRec[i] = Record(dir.File(rgstrChoice[i] + ".wmv"), rgstrChoice[i].c_str(), kSeconds,
                             {strServer});
        });
    }
    // FFmpeg's own path from the same microphone, as the noise floor to meet.
    const std::string strReference = dir.File("reference.wma");
    testproc::RunToEnd({"ffmpeg", "-v", "error", "-f", "pulse", "-i", "mic", "-t", "10", "-c:a",
                        "wmav2", "-b:a", "64k", strReference},
                       60, {strServer});
    for (std::thread& th : vThread) {
        th.join();
    }
    const Recorded reference = Decode(strReference);
    for (size_t i = 0; i < rgstrChoice.size(); ++i) {
        const std::string& strChoice = rgstrChoice[i];
        const Recorded& rec = vRec[i];
        SCOPED_TRACE(strChoice);
        EXPECT_EQ("start 0x00000000\nstop 0x00000000\n", rec.strOut);
        EXPECT_NEAR(rec.dVideoEnd, Seconds(rec), 0.15);
        const bool bSpeaker = strChoice != "input", bMicrophone = strChoice != "output";
        EXPECT_EQ(bSpeaker, Peak(rec.vSound, 440, 0.1, 0.6) > 0.1);
        EXPECT_EQ(bSpeaker, Peak(rec.vSound, 440, 2, kSeconds - 1) > 0.005);
        EXPECT_EQ(bMicrophone, Peak(rec.vSound, 1000, 2, kSeconds - 1) > 0.005);
        // The microphone here is remapped from a sink's monitor, which hands
        // its first samples over late: its pitch is measured from its first
        // whole second on.
        double dFirst = 1;
        while (strChoice == "input" && dFirst < 5 &&
               Peak(rec.vSound, 1000, dFirst - 1, dFirst) < 0.1) {
            ++dFirst;
        }
        double dWorst = 0;
        std::string strPpm;  // each second's, for a failure's message
        for (double dFrom = dFirst; dFrom + 1 <= Seconds(rec); ++dFrom) {
            for (double dHz : {440.0, 1000.0}) {
                if (dHz == 440 ? bSpeaker : bMicrophone) {
                    const double dPpm = (Pitch(rec.vSound, dHz, dFrom) / dHz - 1) * 1e6;
                    dWorst = std::max(dWorst, std::fabs(dPpm) / 1e6);
                    strPpm += std::to_string(std::lround(dPpm)) + " ";
                }
            }
        }
        EXPECT_LT(dWorst, 500e-6) << strPpm;
        std::printf("%s: pitch within %.0f ppm, residual %.1f dBFS\n", strChoice.c_str(),
                    dWorst * 1e6, Residual(rec.vSound, {440, 1000}, 1, kSeconds - 1));
        // Never full scale in either channel (what FFmpeg decodes, on 16 bits).
        const std::string strLevels =
            testproc::RunToEnd({"ffmpeg", "-nostdin", "-i", dir.File(strChoice + ".wmv"), "-af",
                                "volumedetect", "-f", "null", "-"},
                               60)
                .strErr;
        const size_t nMax = strLevels.find("max_volume: ");
        ASSERT_NE(std::string::npos, nMax) << strLevels;
        EXPECT_LT(std::atof(strLevels.c_str() + nMax + 12), -0.05) << strLevels.substr(nMax, 30);
    }
    const double dOurs = Residual(vRec[0].vSound, {1000}, 3, 9);
    EXPECT_LT(dOurs, Residual(reference.vSound, {1000}, 3, 9) + 3) << dOurs;
}

// Nothing the sound server does ends the sound: the user picks another
// microphone and another speaker at 3 s, the server stops answering from
// 7 s to 10 s, and it is killed at 13 s and started again at 14.5 s. The
// sound follows the new devices within a second, is back after the stall,
// and back within 2 s of the server's return; the stop succeeds. (The
// checks allow for the recording starting up to 1.5 s after the test's
// clock, which places the events.)
TEST(AudioPulse, StallsRestartsAndNewDefaultsAreFollowed) {
    CPrivateServer server;
    if (!server.Start({"module-null-sink sink_name=first rate=48000",
                       "module-sine sink=first frequency=1000",
                       "module-null-sink sink_name=second rate=48000",
                       "module-sine sink=second frequency=600"})) {
        GTEST_SKIP() << "pulseaudio could not be started for this test";
    }
    // A player of silence on each sink keeps its latency low, as an
    // application playing there would (a sink no one asks for less mixes
    // seconds ahead, and its monitor hands a new stream only what it mixes
    // from then on).
    hostlib::CChildProcess rgPlayer[2];
    const auto play = [&](int i) {
        return rgPlayer[i].Start({"sh", "-c",
                                  "exec pacat --server=" + server.Address() + " -d " +
                                      (i ? "second" : "first") +
                                      " --latency-msec=200 --raw --format=s16le --rate=48000 "
                                      "--channels=2 </dev/zero"});
    };
    const auto choose = [&](const std::string& strSink) {
        return server.Control({"set-default-sink", strSink}) == 0 &&
               server.Control({"set-default-source", strSink + ".monitor"}) == 0;
    };
    ASSERT_TRUE(play(0) && play(1) && choose("first"));
    // Until what the sinks mixed ahead before the players came has played.
    for (int i = 0; i < 50; ++i) {
        const std::string strSinks =
            testproc::RunToEnd({"pactl", "--server=" + server.Address(), "list", "sinks"}, 10)
                .strOut;
        bool bLow = true;
        for (size_t n = strSinks.find("Latency: "); n != std::string::npos;
             n = strSinks.find("Latency: ", n + 1)) {
            bLow = bLow && std::atol(strSinks.c_str() + n + 9) < 200000;
        }
        if (bLow) {
            break;
        }
        usleep(100000);
    }
    testproc::CTempDir dir;
    const std::string strServer = "PULSE_SERVER=" + server.Address();
    Recorded rgRec[2];
    std::thread th([&] { rgRec[0] = Record(dir.File("input.wmv"), "input", 19, {strServer}); });
    std::thread thOutput(
        [&] { rgRec[1] = Record(dir.File("output.wmv"), "output", 19, {strServer}); });
    const int64_t nStartUs = NowUs();
    const auto at = [&](double dSeconds) {
        usleep(useconds_t(std::max<int64_t>(nStartUs + int64_t(dSeconds * 1e6) - NowUs(), 0)));
    };
    at(3);
    EXPECT_TRUE(choose("second"));
    at(7);
    server.Freeze();
    at(10);
    server.Thaw();
    at(13);
    server.Kill();
    at(14.5);
    EXPECT_TRUE(server.Restart() && choose("second") && play(1));
    th.join();
    thOutput.join();
    for (const Recorded& rec : rgRec) {
        SCOPED_TRACE(&rec == rgRec ? "input" : "output");
        EXPECT_EQ("start 0x00000000\nstop 0x00000000\n", rec.strOut);
        EXPECT_GT(Peak(rec.vSound, 1000, 0.5, 1.4), 0.1);
        EXPECT_GT(Peak(rec.vSound, 600, 4.5, 5.4), 0.1);    // followed
        EXPECT_GT(Peak(rec.vSound, 600, 10.3, 11.2), 0.1);  // after the stall
        EXPECT_GT(Peak(rec.vSound, 600, 16.8, 17.6), 0.1);  // after the restart
    }
}

}  // namespace
