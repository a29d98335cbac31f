// Our own engine's parts below the session: the converter (only what
// changed, never a picture the encoder holds, a new screen size scaled in, an
// odd one padded), its picture ring (buffers that catch up on what changed,
// padding), the output file (the name replaced only once committed, locked for as long
// as it is written) and the synthetic screen's script.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
}

#include "deskvid/deskvid_status.h"
#include "engine/core/Converter.h"
#include "engine/core/OutputFile.h"
#include "engine/core/PictureRing.h"
#include "engine/core/SyntheticSource.h"

namespace {

using dvengine::CConverter;
using dvengine::COutputFile;
using dvengine::CRect;
using dvengine::CScreenFrame;

// A screen of one grey level, all of it reported as changed.
struct CScreen {
    std::vector<uint8_t> vPixels;
    CScreenFrame frame;
    CScreen(int nWidth, int nHeight, uint8_t byGrey)
        : vPixels(size_t(nWidth) * nHeight * 4, byGrey) {
        frame.pPixels = vPixels.data();
        frame.nStride = nWidth * 4;
        frame.nWidth = nWidth;
        frame.nHeight = nHeight;
        frame.vChanged = {CRect{0, 0, nWidth, nHeight}};
    }
};

uint8_t Luma(const AVFrame* p, int x, int y) {
    return p->data[0][y * p->linesize[0] + x];
}

TEST(ConverterTest, ConvertsOnlyWhatChangedAndNeverAPictureHandedOut) {
    CConverter converter;
    ASSERT_EQ(S_OK, converter.Open(64, 32));
    CScreen screen(64, 32, 40);
    std::vector<CRect> vChanged;
    ASSERT_EQ(S_OK, converter.Update(screen.frame, &vChanged));
    EXPECT_EQ(1u, vChanged.size());
    AVFrame* pHeld = converter.Picture(7);
    ASSERT_NE(nullptr, pHeld);
    EXPECT_EQ(7, pHeld->pts);
    const uint8_t byOld = Luma(pHeld, 0, 0);

    // White pixels everywhere, but only (11,5) 3x3 reported: the picture
    // changes over that rectangle widened to even edges, (10,4) to (14,8).
    std::fill(screen.vPixels.begin(), screen.vPixels.end(), 255);
    screen.frame.vChanged = {CRect{11, 5, 3, 3}};
    vChanged.clear();
    ASSERT_EQ(S_OK, converter.Update(screen.frame, &vChanged));
    EXPECT_EQ(screen.frame.vChanged, vChanged);
    AVFrame* pNew = converter.Picture(8);
    ASSERT_NE(nullptr, pNew);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 64; ++x) {
            const bool bInside = x >= 10 && x < 14 && y >= 4 && y < 8;
            ASSERT_EQ(bInside, Luma(pNew, x, y) != byOld) << x << "," << y;
            ASSERT_EQ(byOld, Luma(pHeld, x, y))
                << "the held picture was written at " << x << "," << y;
        }
    }
    // Nothing reported: nothing changes.
    screen.frame.vChanged.clear();
    vChanged.clear();
    ASSERT_EQ(S_OK, converter.Update(screen.frame, &vChanged));
    EXPECT_TRUE(vChanged.empty());

    // A window repainting the same rectangle while the encoder holds each
    // picture: every picture has the window's latest pixels and whatever
    // changed elsewhere in between.
    std::vector<AVFrame*> vHeld;
    for (uint8_t byGrey : {60, 90, 120}) {
        for (int y = 9; y < 20; ++y) {
            std::fill_n(&screen.vPixels[(y * 64 + 21) * 4], 30 * 4, byGrey);
        }
        std::fill_n(&screen.vPixels[(30 * 64 + byGrey / 10) * 4], 4, byGrey);
        screen.frame.vChanged = {CRect{21, 9, 30, 11}, CRect{byGrey / 10, 30, 1, 1}};
        ASSERT_EQ(S_OK, converter.Update(screen.frame, &vChanged));
        vHeld.push_back(converter.Picture(byGrey));
        ASSERT_NE(nullptr, vHeld.back());
    }
    const AVFrame* pLast = vHeld.back();
    EXPECT_EQ(Luma(vHeld[0], 22, 10), Luma(vHeld[0], 6, 30));
    EXPECT_EQ(Luma(pLast, 22, 10), Luma(pLast, 12, 30));
    EXPECT_EQ(Luma(vHeld[1], 50, 19), Luma(pLast, 9, 30)) << "a change between was not caught up";
    EXPECT_EQ(Luma(vHeld[0], 50, 19), Luma(pLast, 6, 30));
    EXPECT_NE(Luma(vHeld[1], 22, 10), Luma(pLast, 22, 10));
    for (AVFrame* p : vHeld) {
        av_frame_free(&p);
    }
    av_frame_free(&pHeld);
    av_frame_free(&pNew);
}

// A ring whose pictures are 36x20 (padded to 48x32): each buffer handed out
// stays as it was while held, a buffer taking over catches up on what was
// written while it was out, and the padding repeats the last column and row.
TEST(PictureRingTest, BuffersCatchUpOnWhatChangedAndPaddingRepeatsTheEdges) {
    dvengine::CPictureRing ring;
    const dvengine::CPictureLayout layout = dvengine::CPictureLayout::Plain(36, 20);
    ASSERT_EQ(48, layout.nPaddedWidth);
    ASSERT_EQ(32, layout.nPaddedHeight);
    ASSERT_EQ(S_OK, ring.Open(layout));
    auto Paint = [&](CRect r, uint8_t byLuma) {
        AVFrame* p = ring.Writable();
        ASSERT_NE(nullptr, p);
        for (int y = r.y; y < r.y + r.h; ++y) {
            std::fill_n(p->data[0] + y * p->linesize[0] + r.x, r.w, byLuma);
        }
        ring.Written(r);
    };
    Paint({0, 0, 36, 20}, 50);
    AVFrame* pFirst = ring.Hand(1);
    Paint({30, 14, 6, 6}, 90);  // the corner: padding to the right and below
    AVFrame* pSecond = ring.Hand(2);
    Paint({2, 2, 4, 4}, 120);
    AVFrame* pThird = ring.Hand(3);
    ASSERT_TRUE(pFirst && pSecond && pThird);
    EXPECT_NE(pFirst->data[0], pSecond->data[0]);
    EXPECT_NE(pSecond->data[0], pThird->data[0]);
    EXPECT_EQ(50, Luma(pFirst, 35, 19)) << "a held picture was written";
    EXPECT_EQ(50, Luma(pSecond, 3, 3));
    EXPECT_EQ(90, Luma(pThird, 35, 19)) << "the third did not catch up on the second's change";
    EXPECT_EQ(120, Luma(pThird, 3, 3));
    for (AVFrame* p : {pSecond, pThird}) {
        EXPECT_EQ(90, Luma(p, 47, 19)) << "right padding";
        EXPECT_EQ(90, Luma(p, 47, 31)) << "bottom padding";
        EXPECT_EQ(50, Luma(p, 10, 31)) << "bottom padding";
        EXPECT_EQ(128, p->data[1][15 * p->linesize[1] + 23]) << "chroma padding";
    }
    // Released, the buffers serve again: no more than one beyond those held.
    av_frame_free(&pFirst);
    av_frame_free(&pSecond);
    for (uint8_t by = 1; by < 20; ++by) {
        Paint({by, 0, 1, 1}, by);
        AVFrame* p = ring.Hand(by);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(120, Luma(p, 3, 3));
        EXPECT_EQ(by - 1 > 0 ? by - 1 : 50, Luma(p, by - 1, 0));
        av_frame_free(&p);
    }
    EXPECT_LE(ring.Buffers(), 4u);
    av_frame_free(&pThird);
}

TEST(ConverterTest, AnotherScreenSizeIsScaledInWithBlackBarsAnOddOnePadded) {
    CConverter converter;
    ASSERT_EQ(S_OK, converter.Open(64, 64));
    struct {
        int nWidth, nHeight;
        CRect target;
    } const rgCase[] = {
        {128, 64, CRect{0, 16, 64, 32}},  // wider: bars above and below
        {16, 32, CRect{16, 0, 32, 64}},   // taller: bars left and right
        {64, 64, CRect{0, 0, 64, 64}},    // its own size again: no bars
        {63, 63, CRect{0, 0, 63, 63}},    // its own size, odd: padded, not scaled
    };
    for (const auto& c : rgCase) {
        CScreen screen(c.nWidth, c.nHeight, 255);
        std::vector<CRect> vChanged;
        ASSERT_EQ(S_OK, converter.Update(screen.frame, &vChanged));
        EXPECT_EQ((std::vector<CRect>{CRect{0, 0, 64, 64}}), vChanged) << "changed all over";
        EXPECT_TRUE(c.target == converter.Target()) << c.nWidth << "x" << c.nHeight;
        AVFrame* p = converter.Picture(0);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(64, p->width);
        EXPECT_EQ(64, p->height);
        const CRect& t = c.target;
        EXPECT_GT(Luma(p, t.x + t.w / 2, t.y + t.h / 2), 200);
        if (t.y > 0) {
            EXPECT_EQ(16, Luma(p, 32, 0));
        }
        if (t.x > 0) {
            EXPECT_EQ(16, Luma(p, 0, 32));
        }
        if (t.w < 64 && t.x == 0) {
            EXPECT_EQ(16, Luma(p, 63, 63)) << "padding";
        }
        av_frame_free(&p);
    }
}

class OutputFileTest : public testing::Test {
protected:
    void SetUp() override {
        static int s_nSerial = 0;
        m_strDir = testing::TempDir() + "deskvid-outputfile." +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
                   "." + std::to_string(++s_nSerial);
        ASSERT_TRUE(std::filesystem::create_directory(m_strDir));
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
        EXPECT_FALSE(std::filesystem::exists(m_strDir));
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> v;
        for (const auto& entry : std::filesystem::directory_iterator(m_strDir)) {
            v.push_back(entry.path().filename().string());
        }
        std::sort(v.begin(), v.end());
        return v;
    }
    std::string Read(const std::string& strName) const {
        std::stringstream s;
        s << std::ifstream(m_strDir + "/" + strName).rdbuf();
        return s.str();
    }
    void Write(const std::string& strName, const std::string& strText) const {
        std::ofstream(m_strDir + "/" + strName) << strText;
    }
    std::string m_strDir;
};

TEST_F(OutputFileTest, TheNameIsReplacedOnlyOnceCommitted) {
    Write("old.wmv", "old");
    {
        COutputFile file;
        ASSERT_EQ(S_OK, file.Open(m_strDir + "/old.wmv"));
        ASSERT_EQ(0, file.Write(reinterpret_cast<const uint8_t*>("new"), 3));
        EXPECT_EQ("old", Read("old.wmv"));
    }
    // Given up before the commit: as it was, nothing beside it.
    EXPECT_EQ("old", Read("old.wmv"));
    EXPECT_EQ(std::vector<std::string>{"old.wmv"}, Entries());
    {
        COutputFile file;
        ASSERT_EQ(S_OK, file.Open(m_strDir + "/old.wmv"));
        ASSERT_EQ(0, file.Write(reinterpret_cast<const uint8_t*>("new"), 3));
        ASSERT_EQ(S_OK, file.Commit());
    }
    EXPECT_EQ("new", Read("old.wmv"));
    EXPECT_EQ(std::vector<std::string>{"old.wmv"}, Entries());
    // A new name given up leaves nothing.
    {
        COutputFile file;
        ASSERT_EQ(S_OK, file.Open(m_strDir + "/fresh.wmv"));
    }
    EXPECT_EQ(std::vector<std::string>{"old.wmv"}, Entries());
#ifdef _WIN32
    // Another program (an indexer) opens the new name: the rename is
    // refused, and once it lets go nothing is left.
    {
        COutputFile file;
        ASSERT_EQ(S_OK, file.Open(m_strDir + "/held.wmv"));
        HANDLE h = CreateFileW(std::filesystem::path(m_strDir + "/held.wmv").c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(DV_E_FILE_OPEN, file.Commit());
        file.Close();
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(std::vector<std::string>{"old.wmv"}, Entries());
#endif
}

TEST_F(OutputFileTest, ANameIsWrittenByOneRecordingAtATime) {
    for (bool bExisting : {false, true}) {
        SCOPED_TRACE(bExisting);
        if (bExisting) {
            Write("a.wmv", "old");
        }
        COutputFile first;
        ASSERT_EQ(S_OK, first.Open(m_strDir + "/a.wmv"));
        for (bool bCommitted : {false, true}) {
            if (bCommitted) {
                ASSERT_EQ(S_OK, first.Commit());
            }
            for (const std::string& strPath : {m_strDir + "/a.wmv", m_strDir + "/./a.wmv"}) {
                COutputFile second;
                EXPECT_EQ(DV_E_FILE_OPEN, second.Open(strPath)) << strPath << " " << bCommitted;
            }
        }
        first.Close();
        COutputFile third;
        EXPECT_EQ(S_OK, third.Open(m_strDir + "/a.wmv"));
        third.Close();
        std::filesystem::remove(m_strDir + "/a.wmv");
    }
}

// Only a plain file or a new path in an existing folder holds a recording;
// a name longer than the old 260-character limit is a name like any other.
TEST_F(OutputFileTest, DevicesAndFoldersAreRefusedLongNamesTaken) {
#ifdef _WIN32
    const std::vector<std::string> vRefused = {"NUL", "COM1", m_strDir + "/nul.wmv", "\\\\.\\NUL",
                                               m_strDir};
#else
    const std::vector<std::string> vRefused = {"/dev/null", m_strDir};
#endif
    for (const std::string& strPath : vRefused) {
        COutputFile file;
        EXPECT_EQ(DV_E_FILE_OPEN, file.Open(strPath)) << strPath;
    }
    const std::filesystem::path dir = std::filesystem::path(m_strDir) / std::string(120, 'd');
    const std::filesystem::path subdir = dir / std::string(120, 'e');
    const std::string strLong = (subdir / (std::string(100, 'f') + ".wmv")).string();
#ifdef _WIN32
    // The C runtime's own file calls stop at the old limit: the test makes
    // and removes its folders in the long form.
    const std::string strLongForm = "\\\\?\\";
#else
    const std::string strLongForm;
#endif
    ASSERT_TRUE(std::filesystem::create_directories(strLongForm + subdir.string()));
    COutputFile file;
    ASSERT_EQ(S_OK, file.Open(strLong));
    ASSERT_EQ(0, file.Write(reinterpret_cast<const uint8_t*>("new"), 3));
    ASSERT_EQ(S_OK, file.Commit());
    file.Close();
    EXPECT_EQ(3u, std::filesystem::file_size(strLongForm + strLong));
    for (const std::string& str : {strLong, subdir.string(), dir.string()}) {
        EXPECT_TRUE(std::filesystem::remove(strLongForm + str)) << str;
    }
}

// (On Windows a link is refused: a reparse point is not a plain file.)
#ifndef _WIN32
TEST_F(OutputFileTest, ALinkIsFollowedNotReplaced) {
    Write("target.wmv", "old");
    std::filesystem::create_symlink("target.wmv", m_strDir + "/link.wmv");
    COutputFile file;
    ASSERT_EQ(S_OK, file.Open(m_strDir + "/link.wmv"));
    ASSERT_EQ(0, file.Write(reinterpret_cast<const uint8_t*>("new"), 3));
    ASSERT_EQ(S_OK, file.Commit());
    file.Close();
    EXPECT_TRUE(std::filesystem::is_symlink(m_strDir + "/link.wmv"));
    EXPECT_EQ("new", Read("target.wmv"));
}
#endif

TEST(SyntheticScreenTest, ScriptsComeFromTheOptionText) {
    dvengine::CSyntheticScreenOptions options;
    ASSERT_TRUE(dvengine::ParseSyntheticScreenOptions(
        "size=320x200,mode=full,resize-at=3:64x48,resize-at=5:320x200,freeze-at=9,stall-at=2:10",
        &options));
    EXPECT_EQ(320, options.nWidth);
    EXPECT_EQ(9, options.nFreezeAtFrame);
    auto pSource = dvengine::CreateSyntheticSource(options);
    ASSERT_EQ(S_OK, pSource->Start(dvengine::MonotonicUs() + 1000000));
    CScreenFrame frame;
    std::vector<int> vWidths;
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(S_OK, pSource->Grab(dvengine::MonotonicUs() + 1000000, &frame));
        vWidths.push_back(frame.nWidth);
        EXPECT_TRUE(frame.vChanged.size() == 1 &&
                    frame.vChanged[0] == (CRect{0, 0, frame.nWidth, frame.nHeight}));
    }
    EXPECT_EQ((std::vector<int>{320, 320, 320, 64, 64, 320, 320, 320, 320}), vWidths);
    // Frozen: no picture by its deadline, from then on.
    const int64_t nDeadline = dvengine::MonotonicUs() + 50000;
    EXPECT_EQ(S_FALSE, pSource->Grab(nDeadline, &frame));
    EXPECT_GE(dvengine::MonotonicUs(), nDeadline);
    EXPECT_EQ(S_FALSE, pSource->Grab(nDeadline, &frame));

    for (const char* pszBad : {"size=0x10", "mode=wild", "resize-at=3", "nonsense"}) {
        EXPECT_FALSE(dvengine::ParseSyntheticScreenOptions(pszBad, &options)) << pszBad;
    }
}

}  // namespace
