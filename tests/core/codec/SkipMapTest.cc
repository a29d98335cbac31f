// The map of unchanged macroblocks: conservative at the edges of what
// changed, safe with rectangles that reach outside the picture or near the
// ends of int32_t, and one map per frame however often it is attached.
#include "engine/core/SkipMap.h"

#include <climits>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
}

namespace dvengine {
namespace {

// The map of a 40x33 picture (3x3 macroblocks, the last row and column
// partial) as rows of '.' (unchanged) and 'X' (coded).
std::string Map(const std::vector<CRect>& vChanged, int nGrowPx = 0) {
    const std::vector<uint8_t> vMap = BuildSkipMap(vChanged, 40, 33, nGrowPx);
    std::string str;
    for (size_t i = 0; i < vMap.size(); ++i) {
        str += vMap[i] != 0 ? '.' : 'X';
        str += i % 3 == 2 ? "|" : "";
    }
    return str;
}

TEST(SkipMapTest, CodesEveryMacroblockARectangleTouches) {
    EXPECT_EQ("...|...|...|", Map({}));
    EXPECT_EQ("X..|...|...|", Map({{15, 15, 1, 1}}));
    EXPECT_EQ("XX.|XX.|...|", Map({{15, 15, 2, 2}}));
    EXPECT_EQ("...|...|..X|", Map({{32, 32, 8, 1}}));  // the partial corner
    EXPECT_EQ("X..|...|..X|", Map({{0, 0, 1, 1}, {39, 32, 1, 1}}));
    // Grown by a scaler's reach.
    EXPECT_EQ("XX.|XX.|...|", Map({{16, 16, 1, 1}}, 1));
}

TEST(SkipMapTest, IgnoresWhatIsOutsideThePicture) {
    EXPECT_EQ("X..|...|...|", Map({{-100, -100, 101, 101}}));
    EXPECT_EQ("...|...|...|", Map({{40, 0, 10, 10}, {0, 33, 10, 10}, {-10, 0, 10, 10}}));
    EXPECT_EQ("...|...|...|", Map({{5, 5, 0, 10}, {5, 5, 10, -1}}));
    EXPECT_EQ("...|...|...|", Map({{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}}));
    EXPECT_EQ("XXX|XXX|XXX|", Map({{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}}, INT_MAX));
    EXPECT_EQ("XXX|XXX|XXX|", Map({{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}}, INT_MAX));
    EXPECT_TRUE(BuildSkipMap({{0, 0, 1, 1}}, 0, 10).empty());
}

TEST(SkipMapTest, AFrameCarriesOneMapOfItsSize) {
    AVFrame* pFrame = av_frame_alloc();
    ASSERT_NE(nullptr, pFrame);
    pFrame->width = 1920;
    pFrame->height = 1080;
    ASSERT_TRUE(AttachSkipMap(pFrame, {}));
    ASSERT_TRUE(AttachSkipMap(pFrame, {{0, 0, 1, 1}}));
    EXPECT_EQ(1, pFrame->nb_side_data);
    const AVFrameSideData* pData = av_frame_get_side_data(pFrame, AV_FRAME_DATA_MB_SKIP_MAP);
    ASSERT_NE(nullptr, pData);
    ASSERT_EQ(size_t{120 * 68}, pData->size);
    EXPECT_EQ(0, pData->data[0]);
    EXPECT_EQ(1, pData->data[1]);
    DetachSkipMap(pFrame);
    EXPECT_EQ(nullptr, av_frame_get_side_data(pFrame, AV_FRAME_DATA_MB_SKIP_MAP));
    av_frame_free(&pFrame);
}

TEST(SkipMapTest, FillersShareOneAllSkippedMapOfTheirSize) {
    CAllSkippedMap shared;
    AVFrame* rgFrame[3] = {av_frame_alloc(), av_frame_alloc(), av_frame_alloc()};
    const int rgHeight[3] = {1080, 1080, 720};
    const AVFrameSideData* rgData[3] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(nullptr, rgFrame[i]);
        rgFrame[i]->width = 1280;
        rgFrame[i]->height = rgHeight[i];
        ASSERT_TRUE(AttachSkipMap(rgFrame[i], {{0, 0, 1, 1}}));
        ASSERT_TRUE(shared.Attach(rgFrame[i]));
        EXPECT_EQ(1, rgFrame[i]->nb_side_data);
        rgData[i] = av_frame_get_side_data(rgFrame[i], AV_FRAME_DATA_MB_SKIP_MAP);
        ASSERT_NE(nullptr, rgData[i]);
        ASSERT_EQ(size_t{80} * ((rgHeight[i] + 15) / 16), rgData[i]->size);
        EXPECT_EQ(std::string(rgData[i]->size, '\1'),
                  std::string(reinterpret_cast<const char*>(rgData[i]->data), rgData[i]->size));
    }
    EXPECT_EQ(rgData[0]->data, rgData[1]->data);
    for (AVFrame*& pFrame : rgFrame) {
        av_frame_free(&pFrame);
    }
}

}  // namespace
}  // namespace dvengine
