// The X11 screen source on X servers of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/Clock.h"
#include "engine/linux/screen/X11Connect.h"
#include "engine/linux/screen/X11Cursor.h"
#include "engine/linux/screen/X11Image.h"
#include "engine/linux/screen/X11Screen.h"
#include "engine/linux/screen/X11Source.h"
#include "tests/linux/x11/XvfbServer.h"
#include "plugin/deskvid/deskvid_status.h"

namespace {

using dvengine::CRect;
using dvengine::CScreenFrame;
using dvengine::MonotonicUs;
using dvtest::CClient;
using dvtest::CXvfb;

constexpr int64_t kSecond = 1000000;

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
bool GrabUntil(dvengine::IScreenSource* pSource, CScreenFrame* pFrame, std::vector<CRect>* pvSeen,
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
    CXvfb xvfb("640x480x24", pszOption, pszValue);
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    auto pSource = dvengine::CreateX11Source(xvfb.Display());
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

// What is drawn while damage reports go missing is found, at 30 grabs a
// second, within about a second: on rows fetched since their last check
// (the first sweep) and on rows checked before (the next).
TEST(X11Source, ChangesWithoutDamageReportsAreFoundWithinASecond) {
    CXvfb xvfb("640x480x24");
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    dvengine::CX11Source source(xvfb.Display(), dvengine::CScreenOptions{30000});
    ASSERT_EQ(S_OK, source.Start(MonotonicUs() + 2 * kSecond));
    CScreenFrame frame;
    ASSERT_EQ(S_OK, source.Grab(MonotonicUs() + kSecond, &frame));
    source.DropDamageReports();
    CClient client(xvfb.Display());
    for (const CRect& rc : {CRect{40, 400, 40, 20}, CRect{500, 30, 60, 50}}) {
        client.Fill(rc, 0x00ff00);
        std::vector<CRect> vSeen;
        for (int i = 0; i < 36 && !Covers(vSeen, rc); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(33));
            ASSERT_EQ(S_OK, source.Grab(MonotonicUs() + kSecond, &frame));
            vSeen.insert(vSeen.end(), frame.vChanged.begin(), frame.vChanged.end());
        }
        EXPECT_TRUE(Covers(vSeen, rc)) << rc.x << "," << rc.y;
        EXPECT_EQ(0x00ff00u, Pixel(frame, rc.x, rc.y));
    }
}

TEST(X11Source, SizeChangeGivesTheWholeScreenAtTheNewSize) {
    CXvfb xvfb;
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    auto pSource = dvengine::CreateX11Source(xvfb.Display());
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

    auto pSource = dvengine::CreateX11Source(strDisplay.c_str());
    int64_t nStartUs = MonotonicUs();
    EXPECT_EQ(DV_E_NO_DISPLAY, pSource->Start(nStartUs + 3 * kSecond / 2));
    EXPECT_LT(MonotonicUs() - nStartUs, 2 * kSecond);
    close(rgFd[0]);
    close(rgFd[1]);
    unlink(strPath.c_str());

    // Nothing there at all: refused at once.
    nStartUs = MonotonicUs();
    EXPECT_EQ(DV_E_NO_DISPLAY,
              dvengine::CreateX11Source(strDisplay.c_str())->Start(nStartUs + 3 * kSecond / 2));
    EXPECT_LT(MonotonicUs() - nStartUs, kSecond);
}

TEST(X11Source, ConcurrentOpenAndGrab) {
    CXvfb xvfb;
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    // Connected first: its xcb_connect() reads the authority through libXau's
    // static buffer, which is not safe beside itself (the sources read the
    // file their own way, each on a thread of its own).
    CClient client(xvfb.Display());
    constexpr int kThreads = 4;
    std::atomic<int> nWaiting{kThreads};
    std::atomic<int> nGood{0};
    std::vector<std::thread> vThread;
    for (int i = 0; i < kThreads; ++i) {
        vThread.emplace_back([&] {
            auto pSource = dvengine::CreateX11Source(xvfb.Display());
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
    for (int i = 0; i < 20; ++i) {
        client.Fill({i * 10, i * 10, 30, 30}, 0x0000ff * (i & 1));
    }
    for (std::thread& t : vThread) {
        t.join();
    }
    EXPECT_EQ(kThreads, nGood.load());
}

// Two RandR monitors side by side on one screen: the root window holds both.
TEST(X11Source, EveryMonitorIsRecorded) {
    CXvfb xvfb("2560x720x24");
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    CClient client(xvfb.Display());
    if (!client.SetMonitors(xvfb.Display(), {{0, 0, 1280, 720}, {1280, 0, 1280, 720}})) {
        GTEST_SKIP() << "this Xvfb has no RandR monitors";
    }
    auto pSource = dvengine::CreateX11Source(xvfb.Display());
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + 2 * kSecond));
    CScreenFrame frame;
    ASSERT_EQ(S_OK, pSource->Grab(MonotonicUs() + kSecond, &frame));
    EXPECT_EQ(std::vector<CRect>({{0, 0, 2560, 720}}), frame.vChanged);
    const CRect rcLeft = {100, 600, 40, 40};
    const CRect rcRight = {2400, 100, 40, 40};
    client.Fill(rcLeft, 0x00ff00);
    client.Fill(rcRight, 0x0000ff);
    std::vector<CRect> vSeen;
    EXPECT_TRUE(GrabUntil(pSource.get(), &frame, &vSeen,
                          [&] { return Covers(vSeen, rcLeft) && Covers(vSeen, rcRight); }));
    EXPECT_EQ(0x00ff00u, Pixel(frame, 139, 639));
    EXPECT_EQ(0x0000ffu, Pixel(frame, 2400, 100));
}

// ---- The display server's replies ----

// A server that does not answer (stopped, or held grabbed by another
// client) costs the grabs it keeps waiting, however long, and none of what
// changed. Only a server that closes the connection is a lost display.
TEST(X11Source, SilentServerIsAGapAndOnlyAClosedOneIsLost) {
    CXvfb xvfb;
    if (!xvfb.Ok()) {
        GTEST_SKIP() << "no Xvfb";
    }
    auto pSource = dvengine::CreateX11Source(xvfb.Display());
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + 2 * kSecond));
    CScreenFrame frame;
    ASSERT_EQ(S_OK, pSource->Grab(MonotonicUs() + kSecond, &frame));
    CClient client(xvfb.Display());
    const CRect rcDrawn = {200, 150, 40, 30};
    client.Fill(rcDrawn, 0x0000ff);
    ASSERT_TRUE(pSource->WaitForChange(MonotonicUs() + 2 * kSecond));

    ASSERT_EQ(0, kill(xvfb.Pid(), SIGSTOP));
    const int64_t nStoppedUs = MonotonicUs();
    while (MonotonicUs() < nStoppedUs + 3 * kSecond / 2) {
        const int64_t nDeadlineUs = MonotonicUs() + kSecond / 4;
        ASSERT_EQ(S_FALSE, pSource->Grab(nDeadlineUs, &frame));
        EXPECT_LT(MonotonicUs(), nDeadlineUs + kSecond / 2);
    }
    EXPECT_TRUE(pSource->Stalled());
    ASSERT_EQ(0, kill(xvfb.Pid(), SIGCONT));
    std::vector<CRect> vSeen;
    EXPECT_TRUE(GrabUntil(pSource.get(), &frame, &vSeen, [&] { return Covers(vSeen, rcDrawn); }));
    EXPECT_EQ(0x0000ffu, Pixel(frame, 200, 150));
    EXPECT_FALSE(pSource->Stalled());

    ASSERT_EQ(0, kill(xvfb.Pid(), SIGKILL));
    EXPECT_EQ(DV_E_NO_DISPLAY, pSource->Grab(MonotonicUs() + 5 * kSecond, &frame));
    EXPECT_EQ(DV_E_NO_DISPLAY, pSource->Grab(MonotonicUs() + 5 * kSecond, &frame));
    EXPECT_TRUE(pSource->WaitForChange(MonotonicUs() + 5 * kSecond));
}

// A server that stops in the middle of a reply, which xcb would go on reading
// for good: the watchdog cuts the connection at its deadline.
TEST(X11Source, ServerStoppingInsideAReplyIsCutOff) {
    int rgFd[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, rgFd));
    // The client's setup request (12 bytes without authority) read, the
    // setup accepted: protocol 11.0, 8 words more, requests of up to 65535
    // words, no screens.
    std::thread server([&] {
        uint8_t rgRequest[12];
        uint8_t rgSetup[40] = {1, 0, 11, 0, 0, 0, 8, 0};
        rgSetup[26] = rgSetup[27] = 0xff;
        if (read(rgFd[1], rgRequest, sizeof rgRequest) == 12) {
            EXPECT_EQ(40, write(rgFd[1], rgSetup, sizeof rgSetup));
        }
    });
    xcb_connection_t* pConn = xcb_connect_to_fd(rgFd[0], nullptr);
    server.join();
    ASSERT_EQ(0, xcb_connection_has_error(pConn));
    const unsigned nSeq = xcb_get_input_focus(pConn).sequence;
    xcb_flush(pConn);
    // A reply of 32 + 4000 bytes, of which 132 come.
    uint8_t rgReply[132] = {1, 0, static_cast<uint8_t>(nSeq), 0, 1000 & 0xff, 1000 >> 8};
    ASSERT_EQ(132, write(rgFd[1], rgReply, sizeof rgReply));

    dvengine::CX11Watchdog watchdog;
    ASSERT_TRUE(watchdog.Start());
    const int64_t nStartUs = MonotonicUs();
    {
        dvengine::CX11Watchdog::CArmed armed(&watchdog, pConn, nStartUs + kSecond / 2);
        void* pReply = nullptr;
        EXPECT_FALSE(dvengine::AwaitReply(pConn, nSeq, nStartUs + kSecond / 4, &pReply));
    }
    EXPECT_LT(MonotonicUs() - nStartUs, 2 * kSecond);
    EXPECT_NE(0, xcb_connection_has_error(pConn));
    EXPECT_TRUE(watchdog.Fired());  // the owner connects again: a stall, not a lost display
    EXPECT_FALSE(watchdog.Fired());
    watchdog.Stop();
    xcb_disconnect(pConn);
    close(rgFd[1]);
}

// Without shared memory every reply of a fetch, even of the whole screen, is
// bounded; with it the whole screen is one request.
TEST(X11Source, FetchWithoutSharedMemoryComesInBoundedPieces) {
    std::vector<xcb_rectangle_t> vRects = {{0, 0, 1920, 1080}};
    dvengine::CBands vBands;
    dvengine::PlanBands(&vRects, false, 1920, 1080, false, &vBands);
    int nNext = 0;
    for (const auto& band : vBands) {
        EXPECT_EQ(nNext, band.first);
        EXPECT_LE(static_cast<size_t>(band.second - band.first) * 1920 * 4,
                  dvengine::kMaxReplyBytes);
        nNext = band.second;
    }
    EXPECT_EQ(1080, nNext);
    dvengine::PlanBands(&vRects, true, 1920, 1080, true, &vBands);
    EXPECT_EQ(dvengine::CBands({{0, 1080}}), vBands);
}

// A cursor image larger than its reply (a hostile server) is refused, the
// image before it kept; sizes whose product is beyond an int included.
TEST(X11Source, CursorImageLargerThanItsReplyIsRefused) {
    // A 32-byte header and 2 x 2 pixels, opaque red.
    std::vector<uint32_t> vReply(8 + 4, 0xffff0000u);
    auto* pReply = reinterpret_cast<xcb_xfixes_get_cursor_image_reply_t*>(vReply.data());
    *pReply = {};
    pReply->length = 4;
    pReply->width = pReply->height = 2;
    dvengine::CX11Cursor cursor;
    EXPECT_TRUE(cursor.SetImage(*pReply));
    for (auto size : {std::make_pair(3, 2), std::make_pair(65535, 65535)}) {
        pReply->width = static_cast<uint16_t>(size.first);
        pReply->height = static_cast<uint16_t>(size.second);
        EXPECT_FALSE(cursor.SetImage(*pReply)) << size.first << "x" << size.second;
    }
    std::vector<uint32_t> vPicture(4 * 4, 0);
    std::vector<CRect> vChanged;
    cursor.Draw(reinterpret_cast<uint8_t*>(vPicture.data()), 16, 4, 4, 1, 1, true, &vChanged);
    EXPECT_EQ(std::vector<CRect>({{1, 1, 2, 2}}), vChanged);
    EXPECT_EQ(0xffff0000u, vPicture[2 * 4 + 2]);
    EXPECT_EQ(0u, vPicture[3 * 4 + 3]);
}

// The authority file gives the server its cookie; one that is not a regular
// file (a FIFO no one writes to) cannot hold the start past its deadline.
TEST(X11Source, AuthorityFileIsReadWithinTheStartsDeadline) {
    char szDir[] = "/tmp/deskvid-xauth-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szDir));
    const std::string strFile = std::string(szDir) + "/auth";
    const std::string strFifo = std::string(szDir) + "/fifo";
    // Any address, any display: MIT-MAGIC-COOKIE-1 and 16 bytes.
    const std::string strName = "MIT-MAGIC-COOKIE-1";
    std::string strEntry = std::string("\xff\xff\0\0\0\0\0", 7) + char(strName.size()) + strName;
    strEntry += std::string("\0\x10", 2) + "0123456789abcdef";
    FILE* pFile = fopen(strFile.c_str(), "wb");
    ASSERT_NE(nullptr, pFile);
    fwrite(strEntry.data(), 1, strEntry.size(), pFile);
    fclose(pFile);
    ASSERT_EQ(0, mkfifo(strFifo.c_str(), 0600));
    const char* pszOld = getenv("XAUTHORITY");
    const std::string strOld = pszOld ? pszOld : "";
    {
        CXvfb xvfb("640x480x24", "-auth", strFile.c_str());
        if (xvfb.Ok()) {
            setenv("XAUTHORITY", strFile.c_str(), 1);
            EXPECT_EQ(
                S_OK,
                dvengine::CreateX11Source(xvfb.Display())->Start(MonotonicUs() + 2 * kSecond));
            setenv("XAUTHORITY", strFifo.c_str(), 1);
            auto start = std::async(std::launch::async, [&] {
                return dvengine::CreateX11Source(xvfb.Display())->Start(MonotonicUs() + kSecond);
            });
            bool bReturned = start.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
            if (!bReturned) {
                close(open(strFifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets the reader go
            }
            EXPECT_TRUE(bReturned);
            EXPECT_EQ(DV_E_NO_DISPLAY, start.get());  // no cookie: refused
        }
    }
    pszOld ? setenv("XAUTHORITY", strOld.c_str(), 1) : unsetenv("XAUTHORITY");
    unlink(strFile.c_str());
    unlink(strFifo.c_str());
    rmdir(szDir);
}

}  // namespace
