// The engine's pure logic: profile checks, snapshot comparison and checks,
// encoder settings, text conversion and the recording timeline.
#include "engine/core/Settings.h"
#include "engine/core/Timeline.h"

#include <climits>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "deskvid/deskvid_status.h"

namespace dvengine {
namespace {

// What the controller builds from its defaults (468 kbit/s, 20 fps, the
// screen's size, sharpness 100).
CProfileSettings DefaultProfile() {
    CProfileSettings p;
    p.lContentType = kContentAudio | kContentVideo;
    p.bHasAudience = true;
    p.lAudienceBitrate = 468000;
    p.lVideoBitrate = 468000;
    p.lWidth = 0;
    p.lHeight = 0;
    p.lKeyFrameMs = 50000;
    p.lFpsTimes1000 = 20000;
    p.lSharpness = 100;
    return p;
}

struct ProfileCase {
    const char* pszName;
    std::function<void(CProfileSettings*)> change;
    HRESULT hrExpected;
};

class ValidateProfileTest : public testing::TestWithParam<ProfileCase> {};

TEST_P(ValidateProfileTest, AnswersTheFirstValueThatCannotBeEncoded) {
    CProfileSettings p = DefaultProfile();
    GetParam().change(&p);
    EXPECT_EQ(GetParam().hrExpected, ValidateProfile(p));
}

// 2147484 kbit/s x 1000 wraps to a negative 32-bit value; 4294968 wraps to a
// small positive one, which is a rate the encoder can take.
INSTANTIATE_TEST_SUITE_P(
    Cases, ValidateProfileTest,
    testing::Values(
        ProfileCase{"Defaults", [](CProfileSettings*) {}, S_OK},
        ProfileCase{"Smallest",
                    [](CProfileSettings* p) {
                        p->lAudienceBitrate = p->lVideoBitrate = 1;
                        p->lFpsTimes1000 = 1;
                        p->lKeyFrameMs = 1;
                        p->lSharpness = 0;
                    },
                    S_OK},
        ProfileCase{"ZeroBitrate",
                    [](CProfileSettings* p) { p->lAudienceBitrate = p->lVideoBitrate = 0; },
                    DV_E_BITRATE},
        ProfileCase{"WrappedBitrate",
                    [](CProfileSettings* p) {
                        p->lAudienceBitrate = p->lVideoBitrate =
                            static_cast<LONG>(2147484u * 1000u);
                    },
                    DV_E_BITRATE},
        ProfileCase{"NegativeVideoBitrate", [](CProfileSettings* p) { p->lVideoBitrate = -1; },
                    DV_E_BITRATE},
        ProfileCase{"NoAudience", [](CProfileSettings* p) { p->bHasAudience = false; },
                    DV_E_BITRATE},
        ProfileCase{"ZeroFps", [](CProfileSettings* p) { p->lFpsTimes1000 = 0; }, DV_E_FPS},
        ProfileCase{
            "WrappedFps",
            [](CProfileSettings* p) { p->lFpsTimes1000 = static_cast<LONG>(2147484u * 1000u); },
            DV_E_FPS},
        ProfileCase{"FpsOverRange",
                    [](CProfileSettings* p) { p->lFpsTimes1000 = kMaxFpsTimes1000 + 1; }, DV_E_FPS},
        ProfileCase{"NegativeWidth", [](CProfileSettings* p) { p->lWidth = -2; }, DV_E_SIZE},
        ProfileCase{"NegativeHeight", [](CProfileSettings* p) { p->lHeight = INT32_MIN; },
                    DV_E_SIZE},
        ProfileCase{"HugeWidth", [](CProfileSettings* p) { p->lWidth = kMaxDimension + 1; },
                    DV_E_SIZE},
        ProfileCase{"LargestSquare", [](CProfileSettings* p) { p->lWidth = p->lHeight = 16000; },
                    S_OK},
        ProfileCase{"AreaTooLarge",
                    [](CProfileSettings* p) { p->lWidth = p->lHeight = kMaxDimension; }, DV_E_SIZE},
        ProfileCase{"ZeroKeyFrame", [](CProfileSettings* p) { p->lKeyFrameMs = 0; }, DV_E_KEYFRAME},
        ProfileCase{"Sharpness101", [](CProfileSettings* p) { p->lSharpness = 101; },
                    DV_E_SHARPNESS},
        ProfileCase{"Sharpness255", [](CProfileSettings* p) { p->lSharpness = 255; },
                    DV_E_SHARPNESS},
        ProfileCase{"NoContentType", [](CProfileSettings* p) { p->lContentType = 0; },
                    DV_E_CONTENT_TYPE},
        ProfileCase{"UnknownContentType",
                    [](CProfileSettings* p) { p->lContentType = 0x11 | 0x100; }, DV_E_CONTENT_TYPE},
        ProfileCase{"VariableBitRate", [](CProfileSettings* p) { p->bVideoConstant = false; },
                    E_INVALIDARG},
        // A file without video does not care about the video values.
        ProfileCase{"AudioOnlyIgnoresVideo",
                    [](CProfileSettings* p) {
                        p->lContentType = kContentAudio;
                        p->lFpsTimes1000 = 0;
                        p->lSharpness = 200;
                    },
                    S_OK},
        // The checks come in a fixed order: bit rate before frame rate.
        ProfileCase{"BitrateBeforeFps",
                    [](CProfileSettings* p) {
                        p->lVideoBitrate = 0;
                        p->lFpsTimes1000 = 0;
                    },
                    DV_E_BITRATE}),
    [](const testing::TestParamInfo<ProfileCase>& info) { return info.param.pszName; });

CSnapshot GoodSnapshot() {
    CSnapshot s;
    s.bHasProfile = true;
    s.profile = DefaultProfile();
    s.strVideoInput = kVideoInput;
    s.bScreen = true;
    s.strAudioInput = kAudioInput;
    s.strFile = "out.wmv";
    s.strDescription = "Description of the encoded content.";
    s.strRating = "Content rating.";
    return s;
}

struct SnapshotCase {
    const char* pszName;
    std::function<void(CSnapshot*)> change;
    HRESULT hrExpected;
};

class CheckSnapshotTest : public testing::TestWithParam<SnapshotCase> {};

TEST_P(CheckSnapshotTest, RefusesWhatNoSessionCanRecord) {
    CSnapshot s = GoodSnapshot();
    GetParam().change(&s);
    EXPECT_EQ(GetParam().hrExpected, CheckSnapshot(s));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckSnapshotTest,
    testing::Values(
        SnapshotCase{"Good", [](CSnapshot*) {}, S_OK},
        SnapshotCase{"NoProfile", [](CSnapshot* s) { s->bHasProfile = false; }, DV_E_NO_PROFILE},
        SnapshotCase{"InvalidProfile", [](CSnapshot* s) { s->profile.lFpsTimes1000 = -5; },
                     DV_E_FPS},
        SnapshotCase{"NoVideoSource", [](CSnapshot* s) { s->strVideoInput.clear(); },
                     DV_E_CONTENT_TYPE},
        SnapshotCase{"NoAudioSource", [](CSnapshot* s) { s->strAudioInput.clear(); },
                     DV_E_CONTENT_TYPE},
        SnapshotCase{"VideoOnlyNeedsNoAudio",
                     [](CSnapshot* s) {
                         s->profile.lContentType = kContentVideo;
                         s->strAudioInput.clear();
                     },
                     S_OK},
        SnapshotCase{"NotTheWholeScreen", [](CSnapshot* s) { s->bScreen = false; }, DV_E_BAD_INPUT},
        SnapshotCase{"EmptyFileName", [](CSnapshot* s) { s->strFile.clear(); }, DV_E_NO_FILE_NAME}),
    [](const testing::TestParamInfo<SnapshotCase>& info) { return info.param.pszName; });

TEST(SnapshotTest, SameSettingsIgnoresOnlyTheFileName) {
    const CSnapshot base = GoodSnapshot();
    CSnapshot other = base;
    other.strFile = "other.wmv";
    EXPECT_TRUE(base.SameSettings(other));

    const std::function<void(CSnapshot*)> changes[] = {
        [](CSnapshot* s) { s->profile.lVideoBitrate += 1000; },
        [](CSnapshot* s) { s->profile.lFpsTimes1000 = 30000; },
        [](CSnapshot* s) { s->profile.lWidth = 640; },
        [](CSnapshot* s) { s->profile.lHeight = 480; },
        [](CSnapshot* s) { s->profile.lSharpness = 50; },
        [](CSnapshot* s) { s->profile.lContentType = kContentVideo; },
        [](CSnapshot* s) { s->bScreen = false; },
        [](CSnapshot* s) { s->strAudioInput.clear(); },
        [](CSnapshot* s) { s->strTitle = "t"; },
        [](CSnapshot* s) { s->strAuthor = "a"; },
        [](CSnapshot* s) { s->strRating = "r"; },
    };
    for (size_t i = 0; i < sizeof(changes) / sizeof(changes[0]); ++i) {
        CSnapshot changed = base;
        changes[i](&changed);
        EXPECT_FALSE(base.SameSettings(changed)) << "change " << i;
    }
}

TEST(MapVideoTest, ZeroMeansTheScreensOwnSizeAndSizesAreEven) {
    CProfileSettings p = DefaultProfile();
    CVideoParams v = MapVideo(p, 1280, 720);
    EXPECT_EQ(1280, v.nWidth);
    EXPECT_EQ(720, v.nHeight);
    EXPECT_EQ(468000, v.nBitrate);

    v = MapVideo(p, 1367, 769);  // an odd screen: padded, never scaled
    EXPECT_EQ(1368, v.nWidth);
    EXPECT_EQ(770, v.nHeight);

    p.lWidth = 641;
    v = MapVideo(p, 1280, 720);  // one side given, the other the screen's
    EXPECT_EQ(642, v.nWidth);
    EXPECT_EQ(720, v.nHeight);

    p.lWidth = 1;
    p.lHeight = 1;
    v = MapVideo(p, 1280, 720);
    EXPECT_EQ(2, v.nWidth);
    EXPECT_EQ(2, v.nHeight);
}

TEST(MapVideoTest, FrameRateIsTheValueOverAThousandReduced) {
    CProfileSettings p = DefaultProfile();
    struct {
        LONG lFpsTimes1000;
        int nNum;
        int nDen;
    } cases[] = {{20000, 20, 1}, {29970, 2997, 100}, {1, 1, 1000}, {12500, 25, 2}};
    for (const auto& c : cases) {
        p.lFpsTimes1000 = c.lFpsTimes1000;
        const CVideoParams v = MapVideo(p, 640, 480);
        EXPECT_EQ(c.nNum, v.nFpsNum) << c.lFpsTimes1000;
        EXPECT_EQ(c.nDen, v.nFpsDen) << c.lFpsTimes1000;
    }
}

TEST(GopFramesTest, DistanceTimesRateClampedToTheEncodersLimit) {
    EXPECT_EQ(100, GopFrames(5000, 20000));
    EXPECT_EQ(150, GopFrames(5000, 29970));             // 149.85 rounds to 150
    EXPECT_EQ(kMaxGopFrames, GopFrames(50000, 20000));  // 1000 frames asked
    EXPECT_EQ(kMaxGopFrames, GopFrames(INT32_MAX, kMaxFpsTimes1000));
    EXPECT_EQ(1, GopFrames(1, 1000));  // never below one frame
}

TEST(SharpnessTest, HigherIsSharperOverTheWholeRange) {
    int nQMin = 0;
    int nQMax = 0;
    SharpnessToQuantisers(100, &nQMin, &nQMax);
    EXPECT_EQ(2, nQMin);
    EXPECT_EQ(31, nQMax);
    SharpnessToQuantisers(0, &nQMin, &nQMax);
    EXPECT_EQ(31, nQMin);
    int nPrevious = 32;
    for (LONG l = 0; l <= 100; ++l) {
        SharpnessToQuantisers(l, &nQMin, &nQMax);
        EXPECT_LE(nQMin, nPrevious) << l;
        EXPECT_LE(nQMin, nQMax) << l;
        EXPECT_GE(nQMin, 2) << l;
        nPrevious = nQMin;
    }
}

TEST(TimelineTest, NothingBeforeStartOrAfterStop) {
    CTimeline t;
    int64_t n = -1;
    EXPECT_FALSE(t.Map(100, &n));
    t.Start(1000);
    EXPECT_FALSE(t.Map(999, &n));
    ASSERT_TRUE(t.Map(1000, &n));
    EXPECT_EQ(0, n);
    ASSERT_TRUE(t.Map(5000, &n));
    EXPECT_EQ(4000, n);
    t.Stop(6000);
    ASSERT_TRUE(t.Map(5999, &n));  // stamped before the stop, arriving after it
    EXPECT_EQ(4999, n);
    EXPECT_FALSE(t.Map(6000, &n));
}

TEST(TimelineTest, PausesAreCutOutWithoutAGap) {
    CTimeline t;
    int64_t n = -1;
    t.Start(0);
    t.Pause(1000000);
    EXPECT_TRUE(t.Paused());
    // Material stamped before the pause still counts, even when it arrives
    // after Pause(); material stamped during the pause does not.
    ASSERT_TRUE(t.Map(999999, &n));
    EXPECT_EQ(999999, n);
    EXPECT_FALSE(t.Map(1000000, &n));
    EXPECT_FALSE(t.Map(5000000, &n));
    t.Resume(3000000);
    EXPECT_FALSE(t.Paused());
    EXPECT_FALSE(t.Map(2999999, &n));
    ASSERT_TRUE(t.Map(3000000, &n));
    EXPECT_EQ(1000000, n);  // continues where the pause began
    t.Pause(4000000);
    t.Resume(4500000);
    ASSERT_TRUE(t.Map(5000000, &n));
    EXPECT_EQ(2500000, n);            // 5 s minus 2 s and 0.5 s of pauses
    ASSERT_TRUE(t.Map(3500000, &n));  // late material of an earlier stretch
    EXPECT_EQ(1500000, n);
}

TEST(TimelineTest, RepeatedPauseOrResumeChangesNothing) {
    CTimeline t;
    int64_t n = -1;
    t.Resume(10);  // not started
    EXPECT_FALSE(t.Started());
    t.Start(0);
    t.Resume(50);  // not paused
    ASSERT_TRUE(t.Map(100, &n));
    EXPECT_EQ(100, n);
    t.Pause(200);
    t.Pause(300);
    t.Resume(400);
    ASSERT_TRUE(t.Map(500, &n));
    EXPECT_EQ(300, n);
    t.Pause(600);
    t.Stop(700);  // stopped while paused: the pause never ends
    EXPECT_FALSE(t.Map(650, &n));
    EXPECT_FALSE(t.Map(800, &n));
}

TEST(TimelineTest, ManyPausesKeepTheLatestStretches) {
    CTimeline t;
    int64_t n = -1;
    t.Start(0);
    for (int64_t i = 0; i < 100; ++i) {
        t.Pause(i * 100 + 50);
        t.Resume(i * 100 + 100);
    }
    ASSERT_TRUE(t.Map(10020, &n));
    EXPECT_EQ(10020 - 100 * 50, n);
}

TEST(TimelineTest, EndedIsOnlyWhatComesAfterTheStop) {
    CTimeline t;
    t.Start(0);
    EXPECT_FALSE(t.Ended(INT64_MAX));  // not stopped yet
    t.Pause(100);
    t.Stop(200);
    EXPECT_FALSE(t.Ended(150));  // in the pause: left out, but not the end
    EXPECT_TRUE(t.Ended(200));
    t.Stop(300);  // a second stop moves nothing
    EXPECT_TRUE(t.Ended(250));
}

TEST(TimelineTest, FileEndIsTheRecordedTimeWithPausesCut) {
    CTimeline t;
    t.Start(1000);
    EXPECT_EQ(0, t.FileEndUs());  // not stopped yet
    t.Pause(2000);
    t.Resume(5000);
    t.Stop(7000);
    EXPECT_EQ(3000, t.FileEndUs());  // 6 ms minus the 3 ms pause

    CTimeline paused;
    paused.Start(0);
    paused.Pause(400);
    paused.Stop(900);  // stopped while paused: the recording ended at the pause
    EXPECT_EQ(400, paused.FileEndUs());
}

// Where a block of sound has to be cut: at a pause, at the stop, and up to
// the start of the stretch it falls before.
TEST(TimelineTest, LocateGivesWhereTheAnswerChanges) {
    CTimeline t;
    t.Start(1000);
    t.Pause(2000);
    t.Resume(5000);
    int64_t nFileUs = -1;
    int64_t nBoundUs = 0;
    const auto locate = [&](int64_t nTs) {
        return t.Locate(nTs, &nFileUs, &nBoundUs) ? nFileUs : -1;
    };
    EXPECT_EQ(-1, locate(500));
    EXPECT_EQ(1000, nBoundUs);
    EXPECT_EQ(500, locate(1500));
    EXPECT_EQ(2000, nBoundUs);
    EXPECT_EQ(-1, locate(3000));
    EXPECT_EQ(5000, nBoundUs);
    EXPECT_EQ(2000, locate(6000));
    EXPECT_EQ(INT64_MAX, nBoundUs);
    t.Stop(7000);
    EXPECT_EQ(2000, locate(6000));
    EXPECT_EQ(7000, nBoundUs);
}

TEST(FrameIndexTest, RoundsToTheNearestFrame) {
    EXPECT_EQ(0, FrameIndex(0, 20, 1));
    EXPECT_EQ(0, FrameIndex(24999, 20, 1));
    EXPECT_EQ(1, FrameIndex(25000, 20, 1));
    EXPECT_EQ(20, FrameIndex(1000000, 20, 1));
    EXPECT_EQ(2997, FrameIndex(100000000, 2997, 100));
    // An hour at 30 fps without overflow or drift.
    EXPECT_EQ(108000, FrameIndex(3600LL * 1000000, 30, 1));
}

}  // namespace
}  // namespace dvengine
