// The audio clock and mixer: a device whose clock runs off ours is resampled
// onto ours without drift or cuts; gaps are silence in place; the sum of
// several sources is limited softly.
#include "engine/core/AudioMixer.h"

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace dvengine {
namespace {

constexpr double kRate = 48000;

// A triangle wave: linear almost everywhere, so the value of a resampled
// frame tells which input position it came from.
constexpr double kHalfPeriod = 32768;
double Triangle(double dIndex) {
    const double d = std::fmod(dIndex, 2 * kHalfPeriod);
    return d < kHalfPeriod ? -30000 + d * 60000 / kHalfPeriod
                           : 30000 - (d - kHalfPeriod) * 60000 / kHalfPeriod;
}

// Feeds a device running at dRate times ours for dSeconds in 20 ms blocks,
// stamped with up to +-1 ms of jitter, and returns the largest distance (in
// frames) between where a resampled frame landed and where our clock puts
// the sound it carries, after the first half second.
double WorstPlacement(double dRate, double dSeconds) {
    CAudioClock clock;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> jitter(-48, 48);
    std::vector<int16_t> vBlock;
    std::vector<float> vOut;
    const int64_t nBlock = static_cast<int64_t>(960 * dRate);
    double dWorst = 0;
    for (int64_t nIn = 0; nIn < dSeconds * kRate * dRate; nIn += nBlock) {
        vBlock.resize(static_cast<size_t>(nBlock) * 2);
        for (int64_t i = 0; i < nBlock; ++i) {
            vBlock[i * 2] = vBlock[i * 2 + 1] = static_cast<int16_t>(Triangle(double(nIn + i)));
        }
        int64_t nFirst = 0;
        clock.Add(vBlock.data(), nBlock, double(nIn) / dRate + jitter(rng), &vOut, &nFirst);
        for (size_t j = 0; j < vOut.size() / 2; ++j) {
            const double dPos = double(nFirst) + double(j);
            const double dWant = dPos * dRate;  // the input position our clock puts there
            const double dPhase = std::fmod(dWant, kHalfPeriod);
            if (dPos < kRate / 2 || dPhase < 2000 || dPhase > kHalfPeriod - 2000) {
                continue;  // near a corner the value is ambiguous
            }
            const double dSlope = Triangle(dWant + 1) - Triangle(dWant);
            const double dOff = (vOut[j * 2] * 32768 - Triangle(dWant)) / dSlope;
            dWorst = std::max(dWorst, std::fabs(dOff));
        }
    }
    return dWorst;
}

TEST(AudioClockTest, DeviceOffOurClockStaysInPlace) {
    for (double dRate : {1.005, 0.995, 1.0}) {
        SCOPED_TRACE(dRate);
        // Placed by count, 0.5% off is 300 ms after a minute.
        const double dWorst = WorstPlacement(dRate, 60);
        EXPECT_LT(dWorst, 0.005 * kRate);  // 5 ms
    }
}

// A device that stops delivering for 2 s: its sound after the gap is where
// its stamps say, the gap silent; the other source's is untouched; a
// backward stamp loses only what it covers again.
TEST(AudioMixerTest, GapsAreSilenceInPlace) {
    CAudioMixer mixer(2);
    const std::vector<int16_t> vOne(960 * 2, 8192);  // 0.25
    const std::vector<int16_t> vTwo(960 * 2, 4096);  // 0.125
    for (int64_t nPos = 0; nPos < 4 * 48000; nPos += 960) {
        mixer.Add(0, vOne.data(), 960, double(nPos));
        if (nPos < 48000 || nPos >= 3 * 48000) {
            mixer.Add(1, vTwo.data(), 960, double(nPos));
        }
        // Source 1 is silent from 1 s: it holds the mix back only to the floor.
        EXPECT_GE(mixer.Ready(nPos - 24000), std::min<int64_t>(nPos - 24000, nPos));
    }
    std::vector<int16_t> vMix;
    mixer.Take(mixer.Ready(0), &vMix);
    ASSERT_GE(vMix.size(), size_t(3 * 48000 + 4800) * 2);
    EXPECT_EQ(8192 + 4096, vMix[(48000 - 100) * 2]);
    EXPECT_EQ(8192, vMix[(48000 + 100) * 2]);
    EXPECT_EQ(8192, vMix[(3 * 48000 - 100) * 2]);
    EXPECT_EQ(8192 + 4096, vMix[(3 * 48000 + 100) * 2]);
    EXPECT_EQ(mixer.Position(), int64_t(vMix.size() / 2));

    // A lost source no longer holds the mix back.
    mixer.Drop(1);
    EXPECT_EQ(mixer.End(), mixer.Ready(0));
}

TEST(AudioMixerTest, SumIsLimitedSoftly) {
    EXPECT_EQ(16384, SoftLimit(0.5f));
    EXPECT_EQ(-16384, SoftLimit(-0.5f));
    int16_t nLast = 0;
    for (float f = 0.7f; f < 2.0f; f += 0.01f) {
        const int16_t n = SoftLimit(f);
        EXPECT_GE(n, nLast);  // still rising, never flat-topped at once
        nLast = n;
    }
    EXPECT_LT(SoftLimit(1.0f), 32767);
    EXPECT_LE(SoftLimit(100.0f), 32767);
    EXPECT_GE(SoftLimit(-100.0f), -32768);
}

}  // namespace
}  // namespace dvengine
