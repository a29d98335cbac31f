// The video pacer against a simulated encoder whose packet sizes follow the
// usual shape (a fixed cost per picture plus detail over quantiser).
#include "engine/core/VideoPacer.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace dvengine {
namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;
constexpr int64_t kArea = int64_t{kW} * kH;

CPacerSettings Settings(int nFps = 20, int64_t nKeyMs = 8000, int nQMin = 2,
                        int64_t nBitrate = 468000) {
    CPacerSettings s;
    s.nBitrate = nBitrate;
    s.nFpsNum = nFps;
    s.nKeyFrameUs = nKeyMs * 1000;
    s.nQMin = nQMin;
    s.nWidth = kW;
    s.nHeight = kH;
    return s;
}

struct CEncoded {
    int64_t nSlot;
    bool bKey;
    int nQ;
    int64_t nBytes;
};

// Drives a pacer slot by slot. dDetail: bits per changed pixel at quantiser
// 1; the encoder answers with that over the quantiser, plus 3 kB a picture.
struct CRun {
    explicit CRun(const CPacerSettings& s) : pacer(s) {}
    void Feed(const CPace& pace, int64_t nSlot) {
        if (pace.eAction != CPace::kEncode) {
            return;
        }
        const double dArea = pace.bKey ? kArea : std::min(nPendingArea, kArea);
        const int64_t nBytes = 3000 + static_cast<int64_t>(dDetail * dArea / pace.nQuantiser / 8);
        pacer.Encoded(pace, nBytes);
        v.push_back({nSlot, pace.bKey, pace.nQuantiser, nBytes});
        nPendingArea = 0;
    }
    CPace Slot(int64_t nSlot, int64_t nChanged) {
        const CPace pace = pacer.Slot(nSlot, nChanged);
        nPendingArea += nChanged;
        Feed(pace, nSlot);
        return pace;
    }
    void Slots(int64_t nFrom, int64_t nTo, int64_t nChanged) {
        for (int64_t n = nFrom; n < nTo; ++n) {
            Slot(n, nChanged);
        }
    }
    std::vector<int64_t> SlotsEncoded(int64_t nFrom = 0) const {
        std::vector<int64_t> vSlots;
        for (const CEncoded& e : v) {
            if (e.nSlot >= nFrom) {
                vSlots.push_back(e.nSlot);
            }
        }
        return vSlots;
    }
    std::vector<int64_t> Keys() const {
        std::vector<int64_t> vSlots;
        for (const CEncoded& e : v) {
            if (e.bKey) {
                vSlots.push_back(e.nSlot);
            }
        }
        return vSlots;
    }

    CVideoPacer pacer;
    double dDetail = 0.05;
    int64_t nPendingArea = 0;
    std::vector<CEncoded> v;
};

TEST(VideoPacerTest, NoChangeEncodesNothingButAHeartbeatEverySecond) {
    CRun run(Settings(20, 8000, 31));  // one quantiser: nothing to refine
    run.Slots(0, 1, kArea);
    run.Slots(1, 200, 0);
    EXPECT_EQ(run.SlotsEncoded(),
              (std::vector<int64_t>{0, 20, 40, 60, 80, 100, 120, 140, 160, 180}));
    // Key frames by time: the first, then the heartbeat 8 s on.
    EXPECT_EQ(run.Keys(), (std::vector<int64_t>{0, 160}));
}

TEST(VideoPacerTest, RefinesACoarsePictureOnceActivityStops) {
    CRun run(Settings(20, 8000, 2, 2000000));
    run.dDetail = 1.0;  // full motion near the coarsest quantiser
    run.Slots(0, 40, kArea);
    ASSERT_EQ(run.v.size(), 40u);
    ASSERT_GE(run.v.back().nQ, 20);
    run.Slots(40, 80, 0);
    // Two refinements at finer quantisers as soon as the budget allows,
    // then a heartbeat a second on.
    const std::vector<int64_t> vStill = run.SlotsEncoded(40);
    ASSERT_EQ(vStill.size(), 3u);
    EXPECT_LE(vStill[0], 45);  // within a quarter of a second
    EXPECT_LE(vStill[1], vStill[0] + 2);
    EXPECT_EQ(vStill[2], vStill[1] + 20);
    EXPECT_LT(run.v[40].nQ, run.v[39].nQ);
    EXPECT_LT(run.v[41].nQ, run.v[40].nQ);

    // A window moving at another rate than the recording's leaves single
    // slots unchanged: that is no stop, and nothing is refined.
    CRun moving(Settings(20, 8000, 2, 468000));
    for (int64_t n = 0; n < 60; ++n) {
        moving.Slot(n, n % 3 == 2 ? 0 : 40000);
    }
    EXPECT_EQ(40u, moving.v.size()) << "only the slots with a change are coded";

    // A change coded at the finest quantiser needs no refinement.
    CRun fine(Settings(20, 8000, 31));
    fine.Slots(0, 10, 1000);
    fine.Slots(10, 30, 0);
    EXPECT_EQ(fine.SlotsEncoded(10), (std::vector<int64_t>{29}));
}

TEST(VideoPacerTest, FullMotionGetsFinerWhenTheRateAllows) {
    // A coarse first picture (the budget starts low), then motion over the
    // whole screen that the rate codes finely.
    CRun run(Settings(20, 8000, 2, 2000000));
    run.dDetail = 0.1;
    run.Slots(0, 100, kArea);
    EXPECT_EQ(run.v.size(), 100u);
    EXPECT_LT(run.v.back().nQ, run.v.front().nQ);
    EXPECT_LE(run.v.back().nQ, 5);
}

TEST(VideoPacerTest, KeyFramesFollowTimeNotFrameCount) {
    for (int nFps : {10, 20, 30}) {
        CRun run(Settings(nFps, 1000, 2, 2000000));
        run.Slots(0, 3 * nFps + 1, 20000);
        EXPECT_EQ(run.Keys(), (std::vector<int64_t>{0, nFps, 2 * nFps, 3 * nFps})) << nFps;
        EXPECT_EQ(run.v.size(), static_cast<size_t>(3 * nFps + 1)) << nFps;
    }
    // Idle: a key frame that falls due waits for the next frame encoded.
    CRun idle(Settings(20, 1500, 31));
    idle.Slots(0, 1, kArea);
    idle.Slots(1, 41, 0);
    EXPECT_EQ(idle.Keys(), (std::vector<int64_t>{0, 40}));
}

TEST(VideoPacerTest, PauseAndStopCloseTheTrackAndAFileStartsWithAKeyFrame) {
    CRun run(Settings(20, 8000, 31));
    run.Slots(0, 4, 5000);
    run.Slots(4, 10, 0);
    CPace pace = run.pacer.Close(10);  // pause
    EXPECT_EQ(pace.eAction, CPace::kEncode);
    EXPECT_FALSE(pace.bKey);
    run.Feed(pace, 10);
    EXPECT_EQ(run.pacer.Close(10).eAction, CPace::kSkip);  // stop in the same slot
    // Resumed: the timeline goes on; still nothing changes.
    run.Slots(11, 20, 0);
    EXPECT_EQ(run.SlotsEncoded(4), (std::vector<int64_t>{10}));
    pace = run.pacer.Close(25);  // stop
    EXPECT_EQ(pace.eAction, CPace::kEncode);

    // Roll-over to a new file: its slots start at 0 and with a key frame,
    // even with nothing changed.
    run.pacer.StartFile();
    pace = run.pacer.Slot(0, 0);
    EXPECT_EQ(pace.eAction, CPace::kEncode);
    EXPECT_TRUE(pace.bKey);
}

TEST(VideoPacerTest, HoldsTheRateByDroppingWhatTheCoarsestQuantiserCannotFit) {
    for (double dNoise : {1.0, 1.6}) {  // the model right, and sizes 60% over it
        CRun run(Settings(20, 8000));
        run.dDetail = 2.0 * dNoise;  // ~2.4x the asked rate at quantiser 31
        run.Slots(0, 20 * 60, kArea);
        std::vector<int64_t> vBits(20 * 60, 0);
        for (const CEncoded& e : run.v) {
            vBits[e.nSlot] = 8 * e.nBytes;
        }
        int64_t nWindow = 0;
        for (size_t i = 0; i < vBits.size(); ++i) {
            nWindow += vBits[i] - (i >= 200 ? vBits[i - 200] : 0);
            ASSERT_LE(nWindow, 1.1 * 468000 * 10) << "10 s ending at slot " << i;
        }
        EXPECT_GT(run.pacer.Dropped(), 20 * 60 / 2);
        EXPECT_EQ(run.pacer.Dropped() + static_cast<int64_t>(run.v.size()), 20 * 60);
        // Key frames still come by time, delayed at most a second.
        const std::vector<int64_t> vKeys = run.Keys();
        ASSERT_GE(vKeys.size(), 7u);
        for (size_t i = 1; i < vKeys.size(); ++i) {
            EXPECT_LE(vKeys[i] - vKeys[i - 1], 160 + 20);
        }
    }
}

}  // namespace
}  // namespace dvengine
