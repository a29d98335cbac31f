// The audio clock and mixer: a device whose clock runs off ours is resampled
// onto ours at its own pitch without drift, an offset is stepped out at
// once; a source's gap is silence in place, of any length; a loud sum is
// limited, never clipped.
#include "engine/core/AudioMixer.h"

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace dvengine {
namespace {

// A device at dRate times ours for 60 s, its 20 ms blocks stamped with up to
// 1 ms of jitter, carrying a triangle wave (linear almost everywhere, so a
// resampled value tells which input position it came from); at 30 s its
// stamps jump 30 ms later (a server's estimate settling), stepped out within
// a second. Every frame lands within 10 ms of where our clock puts it; the ratio is the device's
// within 300 ppm once settled, and one on our clock keeps its pitch throughout.
TEST(AudioClockTest, RateFollowedSlowlyOffsetsStepped) {
    const auto triangle = [](double d) { return 30000 - std::fabs(std::fmod(d, 65536) - 32768); };
    for (double dRate : {1.005, 0.995, 1.0}) {
        SCOPED_TRACE(dRate);
        CAudioClock clock;
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> jitter(-48, 48);
        const auto nBlock = int64_t(960 * dRate);
        std::vector<int16_t> vBlock(size_t(nBlock) * 2);
        std::vector<float> vOut;
        double dWorst = 0;
        double dWorstRatio = 0;  // after 20 s
        for (int64_t nIn = 0; nIn < 60 * 48000 * dRate; nIn += nBlock) {
            for (int64_t i = 0; i < nBlock; ++i) {
                vBlock[i * 2] = vBlock[i * 2 + 1] = int16_t(triangle(double(nIn + i)));
            }
            const double dAt = double(nIn) / dRate;
            const double dJump = dAt >= 30 * 48000 ? 1440 : 0;
            int64_t nFirst = 0, nOut = 0;
            clock.Add(vBlock.data(), nBlock, dAt + dJump + jitter(rng), true, &vOut, &nFirst,
                      &nOut);
            ASSERT_EQ(vOut.size(), size_t(nOut) * 2);
            const bool bSettling = nFirst < 24000 || (dAt >= 30 * 48000 && dAt < 31 * 48000);
            for (size_t j = 0; j < vOut.size() / 2 && !bSettling; j += 7) {
                const double dWant = (double(nFirst + int64_t(j)) - dJump) * dRate;
                if (std::fabs(std::fmod(dWant, 32768) - 16384) < 14000) {  // away from a corner
                    const double dSlope = triangle(dWant + 1) - triangle(dWant);
                    dWorst = std::max(dWorst,
                                      std::fabs((vOut[j * 2] * 32768 - triangle(dWant)) / dSlope));
                }
            }
            if (dRate == 1.0 || dAt > 20 * 48000) {
                dWorstRatio = std::max(dWorstRatio, std::fabs(clock.Ratio() * dRate - 1));
            }
        }
        EXPECT_LT(dWorst, 480);  // frames
        EXPECT_LT(dWorstRatio, dRate == 1.0 ? 500e-6 : 300e-6);
        EXPECT_GE(clock.Steps(), 1);  // the jump at least
        EXPECT_LE(clock.Steps(), 8);
    }
}

// Source 1 delivers nothing from 1 s to 3 s: silence in its place, source 0
// untouched, the mix held back only to the floor. The sum of two loud
// sources is turned down under full scale, not clipped. A single source
// silent for a minute: nothing held for the gap, which comes out as silence,
// and the first block after it is kept where it belongs.
TEST(AudioMixerTest, GapsAreSilenceInPlaceAndLoudSumsAreLimited) {
    CAudioMixer mixer(2);
    const std::vector<int16_t> vQuiet(960 * 2, 8192);
    const std::vector<int16_t> vLoud(960 * 2, 30000);
    for (int64_t nPos = 0; nPos < 4 * 48000; nPos += 960) {
        mixer.Add(0, (nPos < 3 * 48000 ? vQuiet : vLoud).data(), 960, double(nPos));
        if (nPos < 48000 || nPos >= 3 * 48000) {
            mixer.Add(1, (nPos < 48000 ? vQuiet : vLoud).data(), 960, double(nPos));
        }
        const bool bBoth = nPos < 48000 || nPos >= 3 * 48000;
        EXPECT_NEAR(std::max(bBoth ? nPos + 960 : 48000, nPos - 100), mixer.Ready(nPos - 100), 40);
    }
    std::vector<int16_t> vMix;
    ASSERT_TRUE(mixer.Take(4 * 48000 - 960, &vMix));
    EXPECT_NEAR(16384, vMix[(48000 - 100) * 2], 2);
    EXPECT_NEAR(8192, vMix[(48000 + 100) * 2], 2);
    EXPECT_NEAR(8192, vMix[(3 * 48000 - 100) * 2], 2);
    const int16_t nLimited = vMix[(3 * 48000 + 4000) * 2];
    EXPECT_NEAR(CLimiter::kCeiling * 32767, nLimited, 2);
    EXPECT_EQ(nLimited, vMix[(4 * 48000 - 1000) * 2]);  // held, not pumping
    EXPECT_EQ(0, mixer.GapFrames(0));
    EXPECT_NEAR(2 * 48000, mixer.GapFrames(1), 40);
    mixer.SetLive(1, false);  // a lost source no longer holds the mix back
    EXPECT_EQ(mixer.End(), mixer.Ready(0));

    CAudioMixer single(1);
    single.Add(0, vQuiet.data(), 960, 0);
    single.Add(0, vQuiet.data(), 960, 61 * 48000);
    EXPECT_TRUE(single.Take(48000, &vMix));
    for (int64_t nAt = 48000; nAt < 61 * 48000; nAt += 48000) {
        EXPECT_FALSE(single.Take(nAt + 48000, &vMix));
        EXPECT_TRUE(vMix.empty());
    }
    ASSERT_TRUE(single.Take(61 * 48000 + 960, &vMix));
    EXPECT_NEAR(8192, vMix[500 * 2], 2);
    EXPECT_NEAR(61 * 48000 - 960, single.GapFrames(0), 10);
}

}  // namespace
}  // namespace dvengine
