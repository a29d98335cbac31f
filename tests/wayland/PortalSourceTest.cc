// The portal screen source on its own. Without a portal anywhere; and, in the
// headless Wayland session of scripts/session --wayland, against sway and
// xdg-desktop-portal-wlr, whose "share the screen?" question is answered by
// the session's chooser script (it logs each question and refuses while a
// flag file exists).
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "deskvid/deskvid_status.h"
#include "engine/linux/screen/PortalToken.h"
#include "engine/linux/screen/PortalSource.h"

namespace dvengine {
namespace {

const int64_t kSecond = 1000000;

std::string Env(const char* pszName) {
    const char* psz = std::getenv(pszName);
    return psz != nullptr ? psz : "";
}

// Only scripts/session's own sway session: these tests change its outputs and
// answer through its chooser script.
bool InWaylandSession() {
    return !Env("WAYLAND_DISPLAY").empty() && !Env("DESKVID_SESSION_WORK").empty() &&
           Env("DESKVID_SESSION_DESKTOP") != "gnome";
}

int Questions() {
    std::ifstream log(Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.log");
    int n = 0;
    for (std::string str; std::getline(log, str);) {
        ++n;
    }
    return n;
}

std::string StoredToken() {
    std::ifstream file(PortalTokenPath());
    std::string str;
    std::getline(file, str);
    return str;
}

// Grabs until a frame comes (pictures come only when the screen changes).
HRESULT NextFrame(IScreenSource* pSource, CScreenFrame* pFrame) {
    const int64_t nDeadline = MonotonicUs() + 10 * kSecond;
    while (MonotonicUs() < nDeadline) {
        pSource->WaitForChange(nDeadline);
        const HRESULT hr = pSource->Grab(nDeadline, pFrame);
        if (hr != S_FALSE && (FAILED(hr) || !pFrame->vChanged.empty())) {
            return hr;
        }
    }
    return S_FALSE;
}

TEST(PortalSource, WithoutPortalFailsAtOnce) {
    // A bus of its own that starts no service, and then no bus at all.
    const std::string strBus = Env("DBUS_SESSION_BUS_ADDRESS");
    const std::string strRuntime = Env("XDG_RUNTIME_DIR");
    GTestDBus* pBus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(pBus);
    for (int i = 0; i < 2; ++i) {
        if (i == 1) {
            g_test_dbus_down(pBus);
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
            setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
        }
        std::unique_ptr<IScreenSource> pSource = CreatePortalSource();
        const int64_t nStart = MonotonicUs();
        EXPECT_EQ(DV_E_NO_PORTAL, pSource->Start(nStart + kSecond));
        EXPECT_LT(MonotonicUs() - nStart, 5 * kSecond);
    }
    g_object_unref(pBus);
    setenv("DBUS_SESSION_BUS_ADDRESS", strBus.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", strRuntime.c_str(), 1);
}

class PortalSession : public ::testing::Test {
protected:
    void SetUp() override {
        if (!InWaylandSession()) {
            GTEST_SKIP() << "needs scripts/session --wayland";
        }
    }
    void TearDown() override {
        unlink((Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.refuse").c_str());
    }
};

TEST_F(PortalSession, FramesFollowTheScreenAndTheAnswerIsKept) {
    unlink(PortalTokenPath().c_str());
    const int nAsked = Questions();
    std::unique_ptr<IScreenSource> pSource = CreatePortalSource();
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + kSecond));
    EXPECT_EQ(nAsked + 1, Questions());

    // Every pixel that differs from the frame before lies in a changed
    // rectangle; the first frame is changed everywhere.
    CScreenFrame frame;
    ASSERT_EQ(S_OK, NextFrame(pSource.get(), &frame));
    ASSERT_EQ(1280, frame.nWidth);
    ASSERT_EQ(720, frame.nHeight);
    EXPECT_EQ((std::vector<CRect>{{0, 0, 1280, 720}}), frame.vChanged);
    std::vector<uint8_t> vBefore(frame.pPixels, frame.pPixels + frame.nStride * frame.nHeight);
    int nMoving = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(S_OK, NextFrame(pSource.get(), &frame)) << i;
        ASSERT_EQ(1280, frame.nWidth);
        std::vector<uint8_t> vInside(vBefore.size() / 4, 0);
        for (const CRect& r : frame.vChanged) {
            ASSERT_TRUE(r.x >= 0 && r.y >= 0 && r.w > 0 && r.h > 0 && r.x + r.w <= 1280 &&
                        r.y + r.h <= 720);
            for (int y = r.y; y < r.y + r.h; ++y) {
                std::fill_n(vInside.begin() + y * 1280 + r.x, r.w, 1);
            }
        }
        for (size_t p = 0; p < vInside.size(); ++p) {
            const bool bSame = std::equal(vBefore.begin() + p * 4, vBefore.begin() + p * 4 + 3,
                                          frame.pPixels + p * 4);
            ASSERT_TRUE(bSame || vInside[p]) << "pixel " << p << " changed outside";
            nMoving += bSame ? 0 : 1;
        }
        vBefore.assign(frame.pPixels, frame.pPixels + frame.nStride * frame.nHeight);
    }
    EXPECT_GT(nMoving, 0);
    pSource->Stop();
    EXPECT_EQ(DV_E_NO_DISPLAY, pSource->Grab(MonotonicUs(), &frame));

    // Kept under the state folder, private; the next start does not ask.
    const std::string strToken = StoredToken();
    EXPECT_FALSE(strToken.empty());
    const std::string strPath = PortalTokenPath();
    struct stat st = {};
    ASSERT_EQ(0, stat(strPath.substr(0, strPath.rfind('/')).c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    pSource = CreatePortalSource();
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + kSecond));
    EXPECT_EQ(nAsked + 1, Questions());
    EXPECT_EQ(S_OK, NextFrame(pSource.get(), &frame));
    pSource.reset();

    // A token the portal does not know is dropped: it asks again.
    std::ofstream(strPath) << "deskvid-stale-token\n";
    pSource = CreatePortalSource();
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + kSecond));
    EXPECT_EQ(nAsked + 2, Questions());
    EXPECT_NE("deskvid-stale-token", StoredToken());
}

TEST_F(PortalSession, RefusalGivesItsStatusAndForgetsTheToken) {
    std::ofstream(Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.refuse");
    std::ofstream(PortalTokenPath()) << "deskvid-stale-token\n";
    std::unique_ptr<IScreenSource> pSource = CreatePortalSource();
    const int64_t nStart = MonotonicUs();
    EXPECT_EQ(DV_E_PORTAL_REFUSED, pSource->Start(nStart + kSecond));
    EXPECT_LT(MonotonicUs() - nStart, 5 * kSecond);
    EXPECT_EQ("", StoredToken());
}

TEST_F(PortalSession, SizeChangeAndLostStream) {
    // A new size: the next frame has it and is changed everywhere.
    std::unique_ptr<IScreenSource> pSource = CreatePortalSource();
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + kSecond));
    CScreenFrame frame;
    ASSERT_EQ(S_OK, NextFrame(pSource.get(), &frame));
    ASSERT_EQ(0, std::system("swaymsg -q output HEADLESS-1 mode 1024x768@60Hz"));
    for (int i = 0; i < 100 && frame.nWidth != 1024; ++i) {
        ASSERT_EQ(S_OK, NextFrame(pSource.get(), &frame));
    }
    EXPECT_EQ(768, frame.nHeight);
    EXPECT_EQ((std::vector<CRect>{{0, 0, 1024, 768}}), frame.vChanged);
    ASSERT_EQ(0, std::system("swaymsg -q output HEADLESS-1 mode 1280x720@60Hz"));
    pSource.reset();

    // An output that shows nothing new gives no picture, and Grab() does not
    // wait for one; when its stream goes, the screen is lost.
    const std::string strChoice = Env("XDG_RUNTIME_DIR") + "/deskvid-chooser.output";
    ASSERT_EQ(0, std::system("swaymsg -q create_output"));
    std::ofstream(strChoice) << "HEADLESS-2\n";
    unlink(PortalTokenPath().c_str());
    pSource = CreatePortalSource();
    const HRESULT hrStart = pSource->Start(MonotonicUs() + kSecond);
    unlink(strChoice.c_str());
    ASSERT_EQ(S_OK, hrStart);
    const int64_t nGrab = MonotonicUs();
    const HRESULT hrFirst = pSource->Grab(nGrab, &frame);
    EXPECT_TRUE(hrFirst == S_OK || hrFirst == S_FALSE);
    EXPECT_LT(MonotonicUs() - nGrab, kSecond / 2);
    // The portal's PipeWire node goes.
    ASSERT_EQ(0,
              std::system(
                  "pw-cli ls Node | awk '/^\\tid/ { id = $2 } "
                  "/node.name = \"xdg-desktop-portal-wlr\"/ { sub(\",\", \"\", id); print id }' | "
                  "xargs -r -n1 pw-cli destroy >/dev/null"));
    HRESULT hr = S_OK;
    for (int64_t nEnd = MonotonicUs() + 10 * kSecond; SUCCEEDED(hr) && MonotonicUs() < nEnd;) {
        pSource->WaitForChange(nEnd);
        hr = pSource->Grab(nEnd, &frame);
    }
    EXPECT_EQ(DV_E_NO_DISPLAY, hr);
    EXPECT_EQ(DV_E_NO_DISPLAY, pSource->Grab(MonotonicUs(), &frame));
    unlink(PortalTokenPath().c_str());
}

}  // namespace
}  // namespace dvengine
