// The audio clock and mixer: a device whose clock runs off ours is resampled
// onto ours without drift; a source's gap is silence in place; a loud sum is
// limited softly.
#include "engine/core/AudioMixer.h"

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace dvengine {
namespace {

// A device at dRate times ours for 60 s, its 20 ms blocks stamped with up to
// 1 ms of jitter, carrying a triangle wave (linear almost everywhere, so a
// resampled value tells which input position it came from): after the first
// half second every frame lands within 5 ms of where our clock puts it.
TEST(AudioClockTest, DeviceOffOurClockStaysInPlace) {
    const auto triangle = [](double d) { return 30000 - std::fabs(std::fmod(d, 65536) - 32768); };
    for (double dRate : {1.005, 0.995}) {
        CAudioClock clock;
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> jitter(-48, 48);
        const auto nBlock = int64_t(960 * dRate);
        std::vector<int16_t> vBlock(size_t(nBlock) * 2);
        std::vector<float> vOut;
        double dWorst = 0;
        for (int64_t nIn = 0; nIn < 60 * 48000 * dRate; nIn += nBlock) {
            for (int64_t i = 0; i < nBlock; ++i) {
                vBlock[i * 2] = vBlock[i * 2 + 1] = int16_t(triangle(double(nIn + i)));
            }
            int64_t nFirst = 0;
            clock.Add(vBlock.data(), nBlock, double(nIn) / dRate + jitter(rng), true, &vOut,
                      &nFirst);
            for (size_t j = 0; j < vOut.size() / 2 && nFirst > 24000; ++j) {
                const double dWant = double(nFirst + int64_t(j)) * dRate;
                if (std::fabs(std::fmod(dWant, 32768) - 16384) < 14000) {  // away from a corner
                    const double dSlope = triangle(dWant + 1) - triangle(dWant);
                    dWorst = std::max(dWorst,
                                      std::fabs((vOut[j * 2] * 32768 - triangle(dWant)) / dSlope));
                }
            }
        }
        EXPECT_LT(dWorst, 240) << dRate;  // frames
    }
}

// Source 1 delivers nothing from 1 s to 3 s: silence in its place, source 0
// untouched, the mix held back only to the floor; the sum of two loud sources
// is bent below full scale, not clipped.
TEST(AudioMixerTest, GapsAreSilenceInPlace) {
    CAudioMixer mixer(2);
    const std::vector<int16_t> vQuiet(960 * 2, 8192);
    const std::vector<int16_t> vLoud(960 * 2, 30000);
    for (int64_t nPos = 0; nPos < 4 * 48000; nPos += 960) {
        mixer.Add(0, (nPos < 3 * 48000 ? vQuiet : vLoud).data(), 960, double(nPos));
        if (nPos < 48000 || nPos >= 3 * 48000) {
            mixer.Add(1, (nPos < 48000 ? vQuiet : vLoud).data(), 960, double(nPos));
        }
        const bool bBoth = nPos < 48000 || nPos >= 3 * 48000;
        EXPECT_EQ(std::max(bBoth ? nPos + 958 : 47998, nPos - 100), mixer.Ready(nPos - 100));
    }
    std::vector<int16_t> vMix;
    mixer.Take(4 * 48000 - 960, &vMix);
    EXPECT_EQ(16384, vMix[(48000 - 100) * 2]);
    EXPECT_EQ(8192, vMix[(48000 + 100) * 2]);
    EXPECT_EQ(8192, vMix[(3 * 48000 - 100) * 2]);
    EXPECT_GT(vMix[(3 * 48000 + 100) * 2], 30000);
    EXPECT_LT(vMix[(3 * 48000 + 100) * 2], 32767);
    mixer.Drop(1);  // a lost source no longer holds the mix back
    EXPECT_EQ(mixer.End(), mixer.Ready(0));
}

}  // namespace
}  // namespace dvengine
