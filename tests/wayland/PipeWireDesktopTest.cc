// The PipeWire side of the Wayland screen against producers of our own (no
// compositor, no portal): the formats and damage that sway, GNOME and KDE
// send, dropped buffers, size changes, and several monitors composited into
// one desktop.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "deskvid/deskvid_status.h"
#include "engine/linux/screen/PipeWireDesktop.h"
#include "engine/linux/screen/PortalSource.h"
#include "engine/linux/screen/PortalToken.h"
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

TEST_F(PipeWireDesktop, DroppedBufferIsFoundAndNewSizeChangesAll) {
    auto pProducer = Producer(SPA_VIDEO_FORMAT_BGRA, 64, 48, true);
    auto pDesktop = Open({{pProducer->Node(), false, 0, 0}});
    CScreenFrame frame;
    pProducer->Paint({0, 0, 64, 48}, 1);
    ASSERT_EQ(S_OK, First(pProducer.get(), pDesktop.get(), &frame));

    // A corrupted buffer is dropped, with its damage; the next picture's
    // damage does not cover what the dropped one changed, the tiles do.
    pProducer->Paint({32, 16, 8, 8}, 2);
    ASSERT_TRUE(pProducer->Send({{32, 16, 8, 8}}, true));
    ASSERT_TRUE(pDesktop->WaitForChange(MonotonicUs() + 5 * kSecond));
    ASSERT_EQ(S_OK, pDesktop->Grab(&frame));
    EXPECT_TRUE(frame.vChanged.empty());
    pProducer->Paint({0, 0, 4, 4}, 3);
    ASSERT_TRUE(pProducer->Send({{0, 0, 4, 4}}));
    ASSERT_EQ(S_OK, Next(pDesktop.get(), &frame));
    EXPECT_EQ((std::vector<CRect>{{0, 0, 16, 16}, {32, 16, 16, 16}}), frame.vChanged);
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

    // A monitor that switches to a smaller mode beside the taller one (the
    // desktop's box as it was): black where it no longer reaches.
    pRight->Resize(32, 8);
    pRight->Paint({0, 0, 32, 8}, 4);
    ASSERT_TRUE(pRight->Send({{0, 0, 32, 8}}));
    ASSERT_EQ(S_OK, Next(pDesktop.get(), &frame));
    ASSERT_EQ(48, frame.nHeight);
    EXPECT_TRUE(Shows(frame, *pRight, 64, 10));
    EXPECT_EQ(0u, Pixel(frame, 64, 18));
    EXPECT_EQ(0u, Pixel(frame, 95, 25));

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

std::vector<std::string> Lines(const std::string& strPath, const std::string& strStart) {
    std::ifstream file(strPath);
    std::vector<std::string> v;
    for (std::string str; std::getline(file, str);) {
        if (str.compare(0, strStart.size(), strStart) == 0) {
            v.push_back(str);
        }
    }
    return v;
}

TEST_F(PipeWireDesktop, PortalGivesEveryMonitorAndIsAskedAgainAfterAFailure) {
    // A portal of our own on a bus of the test's own, whose backend fails
    // the first start, hands out two of our producers, side by side.
    auto pLeft = Producer(SPA_VIDEO_FORMAT_BGRx, 64, 48, true);
    auto pRight = Producer(SPA_VIDEO_FORMAT_BGRA, 32, 48, false);
    char szDir[] = "/tmp/deskvid-portal.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szDir));
    const std::string strLog = std::string(szDir) + "/portal.log";
    const char* pszBus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string strBus = pszBus != nullptr ? pszBus : "";
    GTestDBus* pBus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(pBus);
    setenv("DBUS_SESSION_BUS_ADDRESS", g_test_dbus_get_bus_address(pBus), 1);
    setenv("XDG_STATE_HOME", szDir, 1);
    const std::string strLeft = std::to_string(pLeft->Node()) + "@0,0";
    const std::string strRight = std::to_string(pRight->Node()) + "@64,0";
    const pid_t nPortal = fork();
    if (nPortal == 0) {
        execl("/usr/bin/python3", "python3", DESKVID_FAKE_PORTAL, strLog.c_str(),
              s_pPipeWire->Socket().c_str(), "1", strLeft.c_str(), strRight.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_EQ(0, std::system("gdbus wait --session --timeout 10 org.freedesktop.portal.Desktop"));

    CScreenOptions options;
    options.nFpsTimes1000 = 20000;
    std::unique_ptr<IScreenSource> pSource = CreatePortalSource(options);
    const int64_t nStart = MonotonicUs();
    ASSERT_EQ(S_OK, pSource->Start(nStart + kSecond));
    EXPECT_GE(MonotonicUs() - nStart, kSecond * 9 / 10);  // the second question waited
    int w = 0;
    int h = 0;
    for (int64_t nEnd = MonotonicUs() + 5 * kSecond; !pSource->Size(&w, &h) || w < 96;) {
        ASSERT_LT(MonotonicUs(), nEnd);
        pSource->WaitForChange(nEnd);
    }
    CScreenFrame frame;
    for (CTestProducer* p : {pLeft.get(), pRight.get()}) {
        p->Paint({0, 0, p->Width(), p->Height()}, 5);
        ASSERT_TRUE(p->Send({{0, 0, p->Width(), p->Height()}}));
    }
    for (int64_t nEnd = MonotonicUs() + 5 * kSecond; MonotonicUs() < nEnd;) {
        pSource->WaitForChange(nEnd);
        if (pSource->Grab(nEnd, &frame) == S_OK && Shows(frame, *pLeft, 0, 0) &&
            Shows(frame, *pRight, 64, 0)) {
            break;
        }
    }
    EXPECT_EQ(96, frame.nWidth);
    EXPECT_TRUE(Shows(frame, *pLeft, 0, 0));
    EXPECT_TRUE(Shows(frame, *pRight, 64, 0));
    pSource.reset();
    EXPECT_EQ(2u, Lines(strLog, "Start").size());
    for (const std::string& str : Lines(strLog, "SelectSources")) {
        EXPECT_NE(std::string::npos, str.find("multiple=True")) << str;
    }

    // The token of the start that succeeded is kept and sent next time.
    pSource = CreatePortalSource(options);
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + kSecond));
    pSource.reset();
    const auto vSelect = Lines(strLog, "SelectSources");
    ASSERT_EQ(3u, vSelect.size());
    EXPECT_NE(std::string::npos, vSelect[2].find("restore_token=fake-token-2")) << vSelect[2];

    kill(nPortal, SIGTERM);
    waitpid(nPortal, nullptr, 0);
    g_test_dbus_down(pBus);
    g_object_unref(pBus);
    unsetenv("XDG_STATE_HOME");
    if (!strBus.empty()) {
        setenv("DBUS_SESSION_BUS_ADDRESS", strBus.c_str(), 1);
    }
    std::system(("rm -rf '" + std::string(szDir) + "'").c_str());
}

}  // namespace
}  // namespace dvengine
