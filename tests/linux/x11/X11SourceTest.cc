// The X11 screen source on X servers of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "engine/linux/screen/X11Source.h"
#include "plugin/deskvid/deskvid_status.h"

extern char** environ;

namespace dvlinux {
int64_t MonotonicUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}
}  // namespace dvlinux

namespace {

using dvlinux::CRect;
using dvlinux::CScreenFrame;
using dvlinux::MonotonicUs;

constexpr int64_t kSecond = 1000000;

// An Xvfb with a black root, ended (woken first, if stopped) with the test.
class CXvfb {
public:
    // pszOption: one more option, such as "-extension" "MIT-SHM" (null: none).
    explicit CXvfb(const char* pszOption = nullptr, const char* pszValue = nullptr) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const char* rgArg[] = {"Xvfb",       "-displayfd", "3",         "-screen", "0",
                               "640x480x24", "-br",        "-nolisten", "tcp",     "-noreset",
                               pszOption,    pszValue,     nullptr};
        if (posix_spawnp(&m_pid, "Xvfb", &actions, nullptr, const_cast<char**>(rgArg), environ) !=
            0) {
            m_pid = 0;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        std::string strNumber;
        char ch = 0;
        pollfd pfd = {fds[0], POLLIN, 0};
        while (m_pid && poll(&pfd, 1, 10000) > 0 && read(fds[0], &ch, 1) == 1 && ch != '\n') {
            strNumber += ch;
        }
        close(fds[0]);
        if (!strNumber.empty()) {
            m_strDisplay = ":" + strNumber;
        }
    }
    ~CXvfb() {
        if (m_pid > 0) {
            kill(m_pid, SIGCONT);
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    bool Ok() const { return !m_strDisplay.empty(); }
    const char* Display() const { return m_strDisplay.c_str(); }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = 0;
    std::string m_strDisplay;
};

// Another client of the display: draws, moves the pointer, resizes the screen.
class CClient {
public:
    explicit CClient(const char* pszDisplay) : m_pConn(xcb_connect(pszDisplay, nullptr)) {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_pConn)).data->root;
    }
    ~CClient() { xcb_disconnect(m_pConn); }

    void Fill(const CRect& rc, uint32_t nRgb) {
        xcb_gcontext_t gc = xcb_generate_id(m_pConn);
        uint32_t rgValue[] = {nRgb, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
        xcb_create_gc(m_pConn, gc, m_root, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, rgValue);
        xcb_rectangle_t r = {static_cast<int16_t>(rc.x), static_cast<int16_t>(rc.y),
                             static_cast<uint16_t>(rc.w), static_cast<uint16_t>(rc.h)};
        xcb_poly_fill_rectangle(m_pConn, m_root, gc, 1, &r);
        xcb_free_gc(m_pConn, gc);
        Sync();
    }
    void Warp(int x, int y) {
        xcb_warp_pointer(m_pConn, XCB_NONE, m_root, 0, 0, 0, 0, static_cast<int16_t>(x),
                         static_cast<int16_t>(y));
        Sync();
    }
    // Xvfb resizes within its initial size through a mode of the wanted size
    // on its one output.
    bool Resize(int w, int h) {
        auto* pRes = xcb_randr_get_screen_resources_reply(
            m_pConn, xcb_randr_get_screen_resources(m_pConn, m_root), nullptr);
        if (!pRes || pRes->num_crtcs < 1 || pRes->num_outputs < 1) {
            free(pRes);
            return false;
        }
        xcb_randr_crtc_t crtc = xcb_randr_get_screen_resources_crtcs(pRes)[0];
        xcb_randr_output_t output = xcb_randr_get_screen_resources_outputs(pRes)[0];
        xcb_randr_mode_t mode = 0;
        xcb_randr_mode_info_t* pModes = xcb_randr_get_screen_resources_modes(pRes);
        for (int i = 0; i < pRes->num_modes; ++i) {
            if (pModes[i].width == w && pModes[i].height == h) {
                mode = pModes[i].id;
            }
        }
        free(pRes);
        // Growing: the screen first, then the output; shrinking: the other
        // way round (the first attempt then fails, and is harmless).
        xcb_randr_set_screen_size(m_pConn, m_root, static_cast<uint16_t>(w),
                                  static_cast<uint16_t>(h), 100, 100);
        if (!mode) {
            std::string strName = std::to_string(w) + "x" + std::to_string(h);
            xcb_randr_mode_info_t info = {};
            info.width = static_cast<uint16_t>(w);
            info.height = static_cast<uint16_t>(h);
            info.dot_clock = static_cast<uint32_t>(w * h * 60);
            info.htotal = info.width;
            info.vtotal = info.height;
            info.name_len = static_cast<uint16_t>(strName.size());
            auto* pMode = xcb_randr_create_mode_reply(
                m_pConn,
                xcb_randr_create_mode(m_pConn, m_root, info, info.name_len, strName.c_str()),
                nullptr);
            mode = pMode ? pMode->mode : 0;
            free(pMode);
            xcb_randr_add_output_mode(m_pConn, output, mode);
        }
        auto* pSet = xcb_randr_set_crtc_config_reply(
            m_pConn,
            xcb_randr_set_crtc_config(m_pConn, crtc, XCB_CURRENT_TIME, XCB_CURRENT_TIME, 0, 0, mode,
                                      XCB_RANDR_ROTATION_ROTATE_0, 1, &output),
            nullptr);
        bool bOk = mode && pSet && pSet->status == XCB_RANDR_SET_CONFIG_SUCCESS;
        free(pSet);
        xcb_generic_error_t* pError = xcb_request_check(
            m_pConn, xcb_randr_set_screen_size_checked(m_pConn, m_root, static_cast<uint16_t>(w),
                                                       static_cast<uint16_t>(h), 100, 100));
        bOk = bOk && !pError;
        free(pError);
        return bOk;
    }

private:
    void Sync() { free(xcb_get_input_focus_reply(m_pConn, xcb_get_input_focus(m_pConn), nullptr)); }

    xcb_connection_t* m_pConn;
    xcb_window_t m_root = 0;
};

bool Contains(const CRect& rc, int x, int y) {
    return x >= rc.x && y >= rc.y && x < rc.x + rc.w && y < rc.y + rc.h;
}

bool Covers(const std::vector<CRect>& v, const CRect& rc) {
    for (int y = rc.y; y < rc.y + rc.h; ++y) {
        for (int x = rc.x; x < rc.x + rc.w; ++x) {
            bool bIn = false;
            for (const CRect& r : v) {
                bIn = bIn || Contains(r, x, y);
            }
            if (!bIn) {
                return false;
            }
        }
    }
    return true;
}

uint32_t Pixel(const CScreenFrame& f, int x, int y) {
    uint32_t n;
    memcpy(&n, f.pPixels + static_cast<size_t>(y) * f.nStride + x * 4, 4);
    return n & 0xffffff;
}

// Grabs as changes come until bDone says the frames so far show what the test
// did; *pvSeen gathers every rectangle reported on the way.
template <typename F>
bool GrabUntil(dvlinux::IScreenSource* pSource, CScreenFrame* pFrame, std::vector<CRect>* pvSeen,
               F bDone) {
    int64_t nEndUs = MonotonicUs() + 5 * kSecond;
    while (MonotonicUs() < nEndUs) {
        pSource->WaitForChange(MonotonicUs() + kSecond / 5);
        if (pSource->Grab(MonotonicUs() + kSecond, pFrame) != S_OK) {
            return false;
        }
        pvSeen->insert(pvSeen->end(), pFrame->vChanged.begin(), pFrame->vChanged.end());
        if (bDone()) {
            return true;
        }
    }
    return false;
}

// pszOption, pszValue: how the server is started.
void CheckWholeScreenFirstThenWhatWasDrawnAndTheCursor(const char* pszOption,
                                                       const char* pszValue) {
    CXvfb xvfb(pszOption, pszValue);
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    auto pSource = dvlinux::CreateX11Source(xvfb.Display());
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + 2 * kSecond));
    CScreenFrame frame;
    int64_t nBeforeUs = MonotonicUs();
    ASSERT_EQ(S_OK, pSource->Grab(MonotonicUs() + kSecond, &frame));
    EXPECT_EQ(640, frame.nWidth);
    EXPECT_EQ(480, frame.nHeight);
    EXPECT_EQ(640 * 4, frame.nStride);
    EXPECT_GE(frame.nTimeUs, nBeforeUs);
    EXPECT_LE(frame.nTimeUs, MonotonicUs());
    EXPECT_EQ(std::vector<CRect>({{0, 0, 640, 480}}), frame.vChanged);

    // Nothing happened: nothing changed.
    ASSERT_EQ(S_OK, pSource->Grab(MonotonicUs() + kSecond, &frame));
    EXPECT_TRUE(frame.vChanged.empty());

    CClient client(xvfb.Display());
    const CRect rcDrawn = {100, 100, 50, 40};
    client.Fill(rcDrawn, 0xff0000);
    std::vector<CRect> vSeen;
    EXPECT_TRUE(GrabUntil(pSource.get(), &frame, &vSeen, [&] { return Covers(vSeen, rcDrawn); }));
    EXPECT_EQ(0xff0000u, Pixel(frame, 100, 100));
    EXPECT_EQ(0xff0000u, Pixel(frame, 149, 139));
    EXPECT_EQ(0u, Pixel(frame, 150, 140));

    // The cursor moves away from the middle: both places change, the old one
    // is black again and the new one shows the cursor.
    client.Warp(400, 300);
    vSeen.clear();
    EXPECT_TRUE(GrabUntil(pSource.get(), &frame, &vSeen, [&] {
        return Covers(vSeen, {320, 240, 1, 1}) && Covers(vSeen, {400, 300, 1, 1});
    }));
    bool bCursorShown = false;
    for (int y = 296; y < 305; ++y) {
        for (int x = 396; x < 405; ++x) {
            bCursorShown = bCursorShown || Pixel(frame, x, y) != 0;
        }
    }
    EXPECT_TRUE(bCursorShown);
    for (int y = 220; y < 260; ++y) {
        for (int x = 300; x < 340; ++x) {
            ASSERT_EQ(0u, Pixel(frame, x, y)) << x << "," << y;
        }
    }
    pSource->Stop();
    pSource->Stop();
    EXPECT_EQ(DV_E_NO_DISPLAY, pSource->Grab(MonotonicUs() + kSecond, &frame));
}

TEST(X11Source, WholeScreenFirstThenWhatWasDrawnAndTheCursor) {
    CheckWholeScreenFirstThenWhatWasDrawnAndTheCursor(nullptr, nullptr);
}

// A server that cannot share memory with us, as a remote one: plain GetImage.
TEST(X11Source, WithoutSharedMemory) {
    CheckWholeScreenFirstThenWhatWasDrawnAndTheCursor("-extension", "MIT-SHM");
}

TEST(X11Source, SizeChangeGivesTheWholeScreenAtTheNewSize) {
    CXvfb xvfb;
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    auto pSource = dvlinux::CreateX11Source(xvfb.Display());
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + 2 * kSecond));
    CScreenFrame frame;
    ASSERT_EQ(S_OK, pSource->Grab(MonotonicUs() + kSecond, &frame));
    CClient client(xvfb.Display());
    for (auto size : {std::make_pair(320, 240), std::make_pair(640, 480)}) {
        if (!client.Resize(size.first, size.second)) {
            GTEST_SKIP() << "this Xvfb cannot change its size";
        }
        std::vector<CRect> vSeen;
        EXPECT_TRUE(
            GrabUntil(pSource.get(), &frame, &vSeen, [&] { return frame.nWidth == size.first; }));
        EXPECT_EQ(size.second, frame.nHeight);
        EXPECT_EQ(size.first * 4, frame.nStride);
        EXPECT_EQ(std::vector<CRect>({{0, 0, size.first, size.second}}), frame.vChanged);
        // Away from the pointer, which the shrink left in the bottom right corner.
        client.Fill({0, size.second - 20, 20, 20}, 0x00ff00);
        EXPECT_TRUE(GrabUntil(pSource.get(), &frame, &vSeen,
                              [&] { return Pixel(frame, 0, size.second - 1) == 0x00ff00; }));
    }
}

TEST(X11Source, FrozenServerIsALostDisplayWithinTheDeadline) {
    CXvfb xvfb;
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    auto pSource = dvlinux::CreateX11Source(xvfb.Display());
    auto pIdle = dvlinux::CreateX11Source(xvfb.Display());
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + 2 * kSecond));
    ASSERT_EQ(S_OK, pIdle->Start(MonotonicUs() + 2 * kSecond));
    CScreenFrame frame;
    ASSERT_EQ(S_OK, pSource->Grab(MonotonicUs() + kSecond, &frame));
    ASSERT_EQ(0, kill(xvfb.Pid(), SIGSTOP));

    int64_t nDeadlineUs = MonotonicUs() + kSecond / 2;
    EXPECT_EQ(DV_E_NO_DISPLAY, pSource->Grab(nDeadlineUs, &frame));
    EXPECT_LT(MonotonicUs(), nDeadlineUs + kSecond);
    // Lost for good, at once.
    int64_t nStartUs = MonotonicUs();
    EXPECT_EQ(DV_E_NO_DISPLAY, pSource->Grab(MonotonicUs() + 5 * kSecond, &frame));
    EXPECT_TRUE(pSource->WaitForChange(MonotonicUs() + 5 * kSecond));
    pSource->Stop();
    pIdle->Stop();  // never noticed the freeze: must not wait on it either
    EXPECT_LT(MonotonicUs() - nStartUs, kSecond);
}

// A display whose socket accepts connections and never says a word.
TEST(X11Source, SilentDisplayFailsTheStartWithinItsDeadline) {
    mkdir("/tmp/.X11-unix", 01777);
    int rgFd[2] = {-1, -1};
    std::string strPath;
    int nDisplay = 900;
    for (; nDisplay < 1000 && rgFd[1] < 0; ++nDisplay) {
        strPath = "/tmp/.X11-unix/X" + std::to_string(nDisplay);
        for (int i = 0; i < 2; ++i) {
            sockaddr_un addr = {};
            addr.sun_family = AF_UNIX;
            // The abstract name (which the source tries first) and the path.
            memcpy(addr.sun_path + (i == 0 ? 1 : 0), strPath.c_str(), strPath.size());
            rgFd[i] = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (bind(rgFd[i], reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
                listen(rgFd[i], 8) != 0) {
                close(rgFd[0]);
                close(rgFd[1]);
                rgFd[0] = rgFd[1] = -1;
                break;
            }
        }
    }
    ASSERT_GE(rgFd[1], 0) << "no free display number";
    std::string strDisplay = ":" + std::to_string(nDisplay - 1);

    auto pSource = dvlinux::CreateX11Source(strDisplay.c_str());
    int64_t nStartUs = MonotonicUs();
    EXPECT_EQ(DV_E_NO_DISPLAY, pSource->Start(nStartUs + 3 * kSecond / 2));
    EXPECT_LT(MonotonicUs() - nStartUs, 2 * kSecond);
    close(rgFd[0]);
    close(rgFd[1]);
    unlink(strPath.c_str());

    // Nothing there at all: refused at once.
    nStartUs = MonotonicUs();
    EXPECT_EQ(DV_E_NO_DISPLAY,
              dvlinux::CreateX11Source(strDisplay.c_str())->Start(nStartUs + 3 * kSecond / 2));
    EXPECT_LT(MonotonicUs() - nStartUs, kSecond);
}

TEST(X11Source, ConcurrentOpenAndGrab) {
    CXvfb xvfb;
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    constexpr int kThreads = 4;
    std::atomic<int> nWaiting{kThreads};
    std::atomic<int> nGood{0};
    std::vector<std::thread> vThread;
    for (int i = 0; i < kThreads; ++i) {
        vThread.emplace_back([&] {
            auto pSource = dvlinux::CreateX11Source(xvfb.Display());
            // All open at the same moment.
            nWaiting.fetch_sub(1);
            while (nWaiting.load() > 0) {
                std::this_thread::yield();
            }
            if (pSource->Start(MonotonicUs() + 5 * kSecond) != S_OK) {
                return;
            }
            CScreenFrame frame;
            bool bGood = true;
            for (int n = 0; n < 5 && bGood; ++n) {
                pSource->WaitForChange(MonotonicUs() + kSecond / 50);
                bGood = pSource->Grab(MonotonicUs() + 5 * kSecond, &frame) == S_OK &&
                        frame.nWidth == 640 && frame.nHeight == 480;
            }
            pSource->Stop();
            nGood += bGood ? 1 : 0;
        });
    }
    CClient client(xvfb.Display());
    for (int i = 0; i < 20; ++i) {
        client.Fill({i * 10, i * 10, 30, 30}, 0x0000ff * (i & 1));
    }
    for (std::thread& t : vThread) {
        t.join();
    }
    EXPECT_EQ(kThreads, nGood.load());
}

}  // namespace
