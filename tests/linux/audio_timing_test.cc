// The sound track on the capture clock, through the library in a host
// process of its own: synthetic audio devices whose clocks run 0.5% fast or
// slow, one with a backlog at the start, two mixed with gaps. A beep at
// every whole second of the capture clock must stay where that clock puts
// it, with no piece cut, and the backlog must not be in the file.
#include "tests/common/HostTest.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
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

// The amplitude of nHz in each millisecond, over nWindow of them.
std::vector<double> Level(const std::vector<float>& v, int nHz, int nWindow) {
    constexpr int kHop = kRate / 1000;
    std::vector<double> vLevel;
    const double dCoeff = 2 * std::cos(2 * M_PI * nHz / kRate);
    const size_t nSpan = size_t(nWindow) * kHop;
    for (size_t n = 0; n + nSpan <= v.size(); n += kHop) {
        double s1 = 0;
        double s2 = 0;
        for (size_t i = n; i < n + nSpan; ++i) {
            const double s0 = v[i] + dCoeff * s1 - s2;
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
    const std::vector<double> vLevel = Level(vSound, nHz, 20);
    double dPeak = 0;
    for (size_t i = size_t(dFrom * 1000); i < vLevel.size() && i < size_t(dTo * 1000); ++i) {
        dPeak = std::max(dPeak, vLevel[i]);
    }
    return dPeak;
}

// Every beep a whole number of seconds from the others (within 20 ms of
// where the capture clock puts it), none moved against the one before
// (a piece cut or silence put in).
void ExpectBeepsOnTheClock(const std::vector<double>& vBeep, double dSeconds) {
    ASSERT_GE(vBeep.size(), size_t(dSeconds * 0.8));
    std::vector<double> vOffset;
    for (double d : vBeep) {
        vOffset.push_back(d - std::round(d - vBeep.front()));
    }
    std::vector<double> vSorted = vOffset;
    std::sort(vSorted.begin(), vSorted.end());
    const double dMedian = vSorted[vSorted.size() / 2];
    for (size_t i = 0; i < vBeep.size(); ++i) {
        EXPECT_NEAR(dMedian, vOffset[i], 0.020) << "beep at " << vBeep[i];
        if (i > 0 && vBeep[i] - vBeep[i - 1] < 1.5) {
            EXPECT_NEAR(1.0, vBeep[i] - vBeep[i - 1], 0.008) << "beep at " << vBeep[i];
        }
    }
}

struct Recorded {
    testproc::SRunResult result;
    std::vector<float> vSound;
    double dVideoEnd = 0;
};

void Record(const std::string& strPath, const std::string& strAudio, double dSeconds,
            Recorded* pRec) {
    pRec->result =
        testproc::RunToEnd({DESKVID_RECHOST, strPath, std::to_string(dSeconds)}, int(dSeconds) + 60,
                           {"DESKVID_SCREEN=synthetic:size=320x240", "DESKVID_AUDIO=" + strAudio});
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
    std::thread th(Record, strFast,
                   "synthetic:beep=" + std::to_string(kBeepHz) + ",rate=1.005,backlog=3000",
                   kSeconds, &fast);
    Record(strMixed,
           "synthetic:beep=" + std::to_string(kBeepHz) +
               ",rate=0.995,gap=20000:2000+synthetic:tone=440,rate=1.005,gap=40000:2000",
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

}  // namespace
