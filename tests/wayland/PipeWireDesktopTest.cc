// The PipeWire side of the Wayland screen against producers of our own (no
// compositor, no portal): the formats and damage that sway, GNOME and KDE
// send, dropped buffers, size changes, and several monitors composited into
// one desktop.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "deskvid/deskvid_status.h"
#include "engine/linux/screen/PipeWireDesktop.h"
#include "tests/wayland/TestProducer.h"

namespace dvengine {
namespace {

using testpw::CTestPipeWire;
using testpw::CTestProducer;

const int64_t kSecond = 1000000;

class PipeWireDesktop : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_pPipeWire = new CTestPipeWire;
        if (!s_pPipeWire->Start()) {
            delete s_pPipeWire;
            s_pPipeWire = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete s_pPipeWire;
        s_pPipeWire = nullptr;
    }
    void SetUp() override {
        if (s_pPipeWire == nullptr) {
            GTEST_SKIP() << "needs the pipewire daemon";
        }
    }

    std::unique_ptr<CPipeWireDesktop> Open(const std::vector<CDesktopStream>& vStreams) {
        auto pDesktop = std::make_unique<CPipeWireDesktop>();
        EXPECT_EQ(S_OK, pDesktop->Start(s_pPipeWire->Connect(), vStreams, 20000,
                                        MonotonicUs() + 5 * kSecond));
        return pDesktop;
    }
    std::unique_ptr<CTestProducer> Producer(spa_video_format nFormat, int w, int h, bool bDamage) {
        return std::make_unique<CTestProducer>(s_pPipeWire, nFormat, w, h, bDamage);
    }

    // The next picture with something changed in it.
    static HRESULT Next(CPipeWireDesktop* pDesktop, CScreenFrame* pFrame,
                        int64_t nWithinUs = 5 * kSecond) {
        const int64_t nDeadline = MonotonicUs() + nWithinUs;
        HRESULT hr = S_FALSE;
        while (MonotonicUs() < nDeadline) {
            pDesktop->WaitForChange(nDeadline);
            hr = pDesktop->Grab(pFrame);
            if (FAILED(hr) || (hr == S_OK && !pFrame->vChanged.empty())) {
                break;
            }
        }
        return hr;
    }

    // The producer's whole picture, once the desktop has agreed on its
    // format; sent again when the consumer was not streaming yet.
    static HRESULT First(CTestProducer* pProducer, CPipeWireDesktop* pDesktop,
                         CScreenFrame* pFrame) {
        int w = 0;
        int h = 0;
        for (int64_t nEnd = MonotonicUs() + 5 * kSecond;
             !pDesktop->Size(&w, &h) && MonotonicUs() < nEnd;) {
            pDesktop->WaitForChange(nEnd);
        }
        HRESULT hr = S_FALSE;
        for (int i = 0; i < 3 && hr == S_FALSE; ++i) {
            if (!pProducer->Send({{0, 0, pProducer->Width(), pProducer->Height()}})) {
                return E_FAIL;
            }
            hr = Next(pDesktop, pFrame, kSecond);
        }
        return hr;
    }

    static CTestPipeWire* s_pPipeWire;
};

CTestPipeWire* PipeWireDesktop::s_pPipeWire = nullptr;

uint32_t Pixel(const CScreenFrame& frame, int x, int y) {
    const uint8_t* p = frame.pPixels + y * frame.nStride + x * 4;
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
}

// The producer's whole picture, at (x0, y0) of the frame.
::testing::AssertionResult Shows(const CScreenFrame& frame, const CTestProducer& producer, int x0,
                                 int y0) {
    for (int y = 0; y < producer.Height(); ++y) {
        for (int x = 0; x < producer.Width(); ++x) {
            if (Pixel(frame, x0 + x, y0 + y) != producer.Expected(x, y)) {
                return ::testing::AssertionFailure() << "differs at " << x << "," << y;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

TEST_F(PipeWireDesktop, EveryFormatWithDamageAndTheRateAsked) {
    for (spa_video_format nFormat : {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                     SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA}) {
        SCOPED_TRACE(nFormat);
        auto pProducer = Producer(nFormat, 64, 48, true);
        auto pDesktop = Open({{pProducer->Node(), false, 0, 0}});
        // Agreed but nothing sent: no picture, but the size is known.
        const spa_fraction rate = pProducer->MaxRate();
        EXPECT_EQ(20u, rate.num / std::max(rate.denom, 1u));
        int w = 0;
        int h = 0;
        for (int64_t nEnd = MonotonicUs() + 5 * kSecond;
             !pDesktop->Size(&w, &h) && MonotonicUs() < nEnd;) {
            pDesktop->WaitForChange(nEnd);
        }
        EXPECT_EQ(64, w);
        EXPECT_EQ(48, h);
        CScreenFrame frame;
        EXPECT_EQ(S_FALSE, pDesktop->Grab(&frame));

        pProducer->Paint({0, 0, 64, 48}, 1);
        ASSERT_EQ(S_OK, First(pProducer.get(), pDesktop.get(), &frame));
        EXPECT_EQ((std::vector<CRect>{{0, 0, 64, 48}}), frame.vChanged);
        EXPECT_TRUE(Shows(frame, *pProducer, 0, 0));

        // Several rectangles, as KDE sends them: those alone are changed.
        pProducer->Paint({2, 3, 5, 7}, 2);
        pProducer->Paint({40, 30, 20, 10}, 3);
        ASSERT_TRUE(pProducer->Send({{2, 3, 5, 7}, {40, 30, 20, 10}}));
        ASSERT_EQ(S_OK, Next(pDesktop.get(), &frame));
        EXPECT_EQ((std::vector<CRect>{{2, 3, 5, 7}, {40, 30, 20, 10}}), frame.vChanged);
        EXPECT_TRUE(Shows(frame, *pProducer, 0, 0));
    }
}

TEST_F(PipeWireDesktop, WithoutDamageTheTilesTellWhatChanged) {
    // As GNOME sends: no damage metadata at all.
    auto pProducer = Producer(SPA_VIDEO_FORMAT_BGRx, 64, 48, false);
    auto pDesktop = Open({{pProducer->Node(), true, 0, 0}});
    CScreenFrame frame;
    pProducer->Paint({0, 0, 64, 48}, 1);
    ASSERT_EQ(S_OK, First(pProducer.get(), pDesktop.get(), &frame));
    EXPECT_EQ((std::vector<CRect>{{0, 0, 64, 48}}), frame.vChanged);
    pProducer->Paint({20, 20, 8, 8}, 2);
    ASSERT_TRUE(pProducer->Send({}));
    ASSERT_EQ(S_OK, Next(pDesktop.get(), &frame));
    EXPECT_EQ((std::vector<CRect>{{16, 16, 16, 16}}), frame.vChanged);
    EXPECT_TRUE(Shows(frame, *pProducer, 0, 0));
}

TEST_F(PipeWireDesktop, DroppedBufferAndNewSizeChangeEverything) {
    auto pProducer = Producer(SPA_VIDEO_FORMAT_BGRA, 64, 48, true);
    auto pDesktop = Open({{pProducer->Node(), false, 0, 0}});
    CScreenFrame frame;
    pProducer->Paint({0, 0, 64, 48}, 1);
    ASSERT_EQ(S_OK, First(pProducer.get(), pDesktop.get(), &frame));

    // A corrupted buffer is dropped; the next picture says it changed only
    // a little, but what the dropped one changed is not known.
    pProducer->Paint({0, 0, 64, 48}, 2);
    ASSERT_TRUE(pProducer->Send({{0, 0, 64, 48}}, true));
    ASSERT_TRUE(pDesktop->WaitForChange(MonotonicUs() + 5 * kSecond));
    ASSERT_EQ(S_OK, pDesktop->Grab(&frame));
    EXPECT_TRUE(frame.vChanged.empty());
    pProducer->Paint({0, 0, 4, 4}, 3);
    ASSERT_TRUE(pProducer->Send({{0, 0, 4, 4}}));
    ASSERT_EQ(S_OK, Next(pDesktop.get(), &frame));
    EXPECT_EQ((std::vector<CRect>{{0, 0, 64, 48}}), frame.vChanged);
    EXPECT_TRUE(Shows(frame, *pProducer, 0, 0));

    pProducer->Resize(80, 40);
    pProducer->Paint({0, 0, 80, 40}, 4);
    ASSERT_TRUE(pProducer->Send({{0, 0, 80, 40}}));
    ASSERT_EQ(S_OK, Next(pDesktop.get(), &frame));
    ASSERT_EQ(80, frame.nWidth);
    ASSERT_EQ(40, frame.nHeight);
    EXPECT_EQ((std::vector<CRect>{{0, 0, 80, 40}}), frame.vChanged);
    EXPECT_TRUE(Shows(frame, *pProducer, 0, 0));
}

TEST_F(PipeWireDesktop, MonitorsComposedWhereTheyLie) {
    // Two monitors where the portal puts them (one left of the origin), and
    // one it gives no position (KDE): beside the others.
    auto pLeft = Producer(SPA_VIDEO_FORMAT_BGRx, 64, 48, true);
    auto pRight = Producer(SPA_VIDEO_FORMAT_BGRA, 32, 16, true);
    auto pBeside = Producer(SPA_VIDEO_FORMAT_RGBx, 16, 16, false);
    auto pDesktop = Open({{pLeft->Node(), true, -64, 0},
                          {pRight->Node(), true, 0, 10},
                          {pBeside->Node(), false, 0, 0}});
    CScreenFrame frame;
    int nSeed = 1;
    for (CTestProducer* p : {pLeft.get(), pRight.get(), pBeside.get()}) {
        p->Paint({0, 0, p->Width(), p->Height()}, nSeed++);
        ASSERT_EQ(S_OK, First(p, pDesktop.get(), &frame));
    }
    ASSERT_EQ(112, frame.nWidth);
    ASSERT_EQ(48, frame.nHeight);
    EXPECT_TRUE(Shows(frame, *pLeft, 0, 0));
    EXPECT_TRUE(Shows(frame, *pRight, 64, 10));
    EXPECT_TRUE(Shows(frame, *pBeside, 96, 0));
    EXPECT_EQ(0u, Pixel(frame, 70, 2));  // nothing there

    // A monitor's change, where it lies on the desktop.
    pRight->Paint({2, 2, 4, 4}, 9);
    ASSERT_TRUE(pRight->Send({{2, 2, 4, 4}}));
    ASSERT_EQ(S_OK, Next(pDesktop.get(), &frame));
    EXPECT_EQ((std::vector<CRect>{{66, 12, 4, 4}}), frame.vChanged);
    EXPECT_TRUE(Shows(frame, *pRight, 64, 10));

    // A monitor that goes: the desktop shrinks; the last one going loses it.
    pBeside.reset();
    ASSERT_EQ(S_OK, Next(pDesktop.get(), &frame));
    EXPECT_EQ(96, frame.nWidth);
    EXPECT_EQ((std::vector<CRect>{{0, 0, 96, 48}}), frame.vChanged);
    EXPECT_TRUE(Shows(frame, *pRight, 64, 10));
    pLeft.reset();
    pRight.reset();
    HRESULT hr = S_OK;
    for (int i = 0; i < 3 && hr == S_OK; ++i) {
        hr = Next(pDesktop.get(), &frame);
    }
    EXPECT_EQ(DV_E_NO_DISPLAY, hr);
}

}  // namespace
}  // namespace dvengine
