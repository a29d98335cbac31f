#include "engine/core/TileDiff.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using dvengine::CRect;
using dvengine::CTileDiff;

struct CPicture {
    int nWidth;
    int nHeight;
    std::vector<uint8_t> vPixels;
    CPicture(int w, int h) : nWidth(w), nHeight(h), vPixels(static_cast<size_t>(w) * h * 4, 0) {}
    uint8_t* At(int x, int y) { return &vPixels[(static_cast<size_t>(y) * nWidth + x) * 4]; }
    std::vector<CRect> Compare(CTileDiff* pDiff, int nFrom = 0, int nTo = 1 << 30) {
        std::vector<CRect> v;
        pDiff->Compare(vPixels.data(), nWidth * 4, nWidth, nHeight, nFrom, nTo, &v);
        return v;
    }
};

TEST(TileDiffTest, FindsChangedTilesAndMergesThem) {
    CTileDiff diff;
    CPicture pic(100, 50);  // neither side a multiple of a tile
    EXPECT_EQ((std::vector<CRect>{{0, 0, 100, 50}}), pic.Compare(&diff));
    EXPECT_TRUE(pic.Compare(&diff).empty());

    pic.At(17, 3)[0] = 1;
    EXPECT_EQ((std::vector<CRect>{{16, 0, 16, 16}}), pic.Compare(&diff));
    EXPECT_TRUE(pic.Compare(&diff).empty()) << "the copy follows the picture";

    // A block across two tile rows and into the clipped last column.
    for (int y = 10; y < 20; ++y) {
        for (int x = 70; x < 100; ++x) {
            pic.At(x, y)[1] = 9;
        }
    }
    EXPECT_EQ((std::vector<CRect>{{64, 0, 36, 32}}), pic.Compare(&diff));

    pic.At(99, 49)[3] = 255;  // the undefined fourth byte alone
    EXPECT_TRUE(pic.Compare(&diff).empty());
}

TEST(TileDiffTest, ComparesOnlyTheRowsAskedAndStartsOverOnANewSize) {
    CTileDiff diff;
    CPicture pic(64, 64);
    pic.Compare(&diff);
    pic.At(0, 0)[2] = 7;
    pic.At(0, 40)[2] = 7;
    EXPECT_EQ((std::vector<CRect>{{0, 32, 16, 16}}), pic.Compare(&diff, 35, 64));
    EXPECT_EQ((std::vector<CRect>{{0, 0, 16, 16}}), pic.Compare(&diff, 0, 16));

    CPicture bigger(80, 64);
    EXPECT_EQ((std::vector<CRect>{{0, 0, 80, 64}}), bigger.Compare(&diff, 0, 16));
    diff.Reset();
    EXPECT_EQ((std::vector<CRect>{{0, 0, 80, 64}}), bigger.Compare(&diff));
}

// Rectangles reported on an output at (100, 50) of the picture: clipped to
// the output, then placed on the picture; those with nothing left dropped.
TEST(TileDiffTest, ReportedRectanglesArePlacedOnThePicture) {
    std::vector<CRect> vChanged{{1, 1, 1, 1}};
    dvengine::AddReported({{0, 0, 10, 10}, {-5, 30, 10, 50}, {60, 0, 10, 10}, {5, 5, 0, 3}},
                          CRect{100, 50, 64, 48}, &vChanged);
    EXPECT_EQ(
        (std::vector<CRect>{{1, 1, 1, 1}, {100, 50, 10, 10}, {100, 80, 5, 18}, {160, 50, 4, 10}}),
        vChanged);
}

}  // namespace
