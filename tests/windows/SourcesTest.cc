// The Windows screen and audio sources on their own, under Wine on a private
// Xvfb with nothing moving and a private PulseAudio (tests/windows/
// in-session.sh): what the session relies on of them.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "deskvid/deskvid_status.h"
#include "engine/core/AudioSource.h"
#include "engine/core/ScreenSource.h"
#include "engine/windows/audio/WasapiSource.h"
#include "engine/windows/screen/GdiSource.h"

namespace {

using dvengine::CAudioBlock;
using dvengine::CScreenFrame;
using dvengine::MonotonicUs;

// The whole virtual screen comes first, all of it changed; a still screen
// then gives the same picture with nothing changed. Under Wine this is GDI
// after duplication failed.
TEST(DesktopSourceTest, WholeScreenFirstThenOnlyWhatChanged) {
    for (bool bDuplication : {true, false}) {
        SCOPED_TRACE(bDuplication);
        auto pSource = dvengine::CreateDesktopSource(bDuplication);
        ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + 1000000));
        CScreenFrame frame;
        ASSERT_EQ(S_OK, pSource->Grab(MonotonicUs() + 250000, &frame));
        const int nWidth = GetSystemMetrics(SM_CXVIRTUALSCREEN);
        const int nHeight = GetSystemMetrics(SM_CYVIRTUALSCREEN);
        EXPECT_EQ(nWidth, frame.nWidth);
        EXPECT_EQ(nHeight, frame.nHeight);
        EXPECT_GE(frame.nStride, frame.nWidth * 4);
        ASSERT_EQ(1u, frame.vChanged.size());
        EXPECT_TRUE((frame.vChanged[0] == dvengine::CRect{0, 0, nWidth, nHeight}));
        const int64_t nBefore = MonotonicUs();
        ASSERT_EQ(S_OK, pSource->Grab(MonotonicUs() + 250000, &frame));
        EXPECT_TRUE(frame.vChanged.empty());
        EXPECT_GE(frame.nTimeUs, nBefore);
        pSource->Stop();
        pSource->Stop();  // idempotent
    }
}

// A still screen is only watched, yet a window that starts changing anywhere
// on it is seen by the first grab that begins a quarter of a second after
// the change reached the screen at the latest, in the grab's changed region.
TEST(DesktopSourceTest, AChangeAnywhereIsSeenWithinAQuarterSecond) {
    const int nWidth = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    const int nHeight = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    const POINT places[] = {{0, 0}, {nWidth / 2, nHeight / 2}, {nWidth - 64, nHeight - 64}};
    auto pSource = dvengine::CreateDesktopSource(false);
    ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + 1000000));
    HDC hdcScreen = GetDC(nullptr);
    for (const POINT& at : places) {
        SCOPED_TRACE(at.x);
        HWND hwnd =
            CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP | WS_VISIBLE,
                            at.x, at.y, 64, 64, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, hwnd);
        // Paints the window until the screen shows it (Wine hands a window's
        // pixels to the display when it pumps messages).
        const auto Paint = [&](COLORREF colour) {
            const int64_t nDeadline = MonotonicUs() + 5000000;
            while (GetPixel(hdcScreen, at.x + 32, at.y + 32) != colour &&
                   MonotonicUs() < nDeadline) {
                HDC hdc = GetDC(hwnd);
                HBRUSH hBrush = CreateSolidBrush(colour);
                const RECT rc = {0, 0, 64, 64};
                FillRect(hdc, &rc, hBrush);
                DeleteObject(hBrush);
                ReleaseDC(hwnd, hdc);
                MSG msg;
                while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                    DispatchMessageW(&msg);
                }
            }
            ASSERT_EQ(colour, GetPixel(hdcScreen, at.x + 32, at.y + 32));
        };
        Paint(RGB(0, 0, 255));
        // A second of a still screen, a grab a slot of 20 frames a second.
        CScreenFrame frame;
        for (int i = 0; i < 20; ++i) {
            Sleep(50);
            ASSERT_EQ(S_OK, pSource->Grab(MonotonicUs() + 250000, &frame));
        }
        Paint(RGB(255, 255, 0));
        const int64_t nChangedUs = MonotonicUs();
        bool bSeen = false;
        while (!bSeen) {
            Sleep(50);
            ASSERT_EQ(S_OK, pSource->Grab(MonotonicUs() + 250000, &frame));
            for (const dvengine::CRect& r : frame.vChanged) {
                bSeen = bSeen || (r.x < at.x + 64 && r.x + r.w > at.x && r.y < at.y + 64 &&
                                  r.y + r.h > at.y);
            }
            ASSERT_TRUE(bSeen || frame.nTimeUs < nChangedUs + 250000);
        }
        DestroyWindow(hwnd);
    }
    ReleaseDC(nullptr, hdcScreen);
}

// Blocks of 48 kHz stereo stamped on the capture clock: each stamp lies
// within the half second before it is read, and consecutive stamps follow
// each other by the length of the block before.
TEST(WasapiSourceTest, BlocksAreStampedOnTheCaptureClock) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
        auto pSource = dvengine::CreateWasapiSource(false);
        ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + 3000000));
        int64_t nFrames = 0;
        int64_t nFirstUs = 0;
        const int64_t nDeadline = MonotonicUs() + 6000000;
        while (nFrames < 48000 && MonotonicUs() < nDeadline) {
            CAudioBlock block;
            const HRESULT hr = pSource->Read(nDeadline, &block);
            ASSERT_EQ(S_OK, hr);
            ASSERT_EQ(0u, block.vSamples.size() % 2);
            const int64_t nNow = MonotonicUs();
            EXPECT_LE(block.nTimeUs, nNow);
            EXPECT_GT(block.nTimeUs, nNow - 500000);
            if (nFrames == 0) {
                nFirstUs = block.nTimeUs;
            } else {
                // Within 50 ms of where the samples before it put it.
                EXPECT_NEAR(nFirstUs + nFrames * 1000000 / 48000, block.nTimeUs, 50000);
            }
            nFrames += static_cast<int64_t>(block.vSamples.size() / 2);
        }
        EXPECT_GE(nFrames, 48000);
        const int64_t nStopping = MonotonicUs();
        pSource->Stop();
        EXPECT_LT(MonotonicUs() - nStopping, 1000000);
        CAudioBlock block;
        EXPECT_EQ(DV_E_NO_AUDIO, pSource->Read(MonotonicUs() + 100000, &block));
    }
    CoUninitialize();
}

// The audio server killed while recording and started again (by
// audio-restart.sh, which it asks with a file DESKVID_AUDIO_RESTART.kill and
// which answers with .back once the new server answers): the samples stop,
// and come again within two seconds of its return.
TEST(WasapiSourceTest, ComesBackWithTheAudioServer) {
    char szMarker[MAX_PATH] = {};
    const DWORD nMarker = GetEnvironmentVariableA("DESKVID_AUDIO_RESTART", szMarker, MAX_PATH - 8);
    if (nMarker == 0 || nMarker >= MAX_PATH - 8) {
        GTEST_SKIP() << "run by audio-restart.sh";
    }
    const std::string strMarker = szMarker;
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
        auto pSource = dvengine::CreateWasapiSource(false);
        ASSERT_EQ(S_OK, pSource->Start(MonotonicUs() + 3000000));
        CAudioBlock block;
        ASSERT_EQ(S_OK, pSource->Read(MonotonicUs() + 3000000, &block));
        const HANDLE hKill = CreateFileA((strMarker + ".kill").c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, hKill);
        CloseHandle(hKill);
        // Reading on while the server is gone; it is back within 20 s.
        bool bStopped = false;
        const int64_t nGiveUp = MonotonicUs() + 20000000;
        while (GetFileAttributesA((strMarker + ".back").c_str()) == INVALID_FILE_ATTRIBUTES &&
               MonotonicUs() < nGiveUp) {
            const HRESULT hr = pSource->Read(MonotonicUs() + 100000, &block);
            bStopped = bStopped || hr != S_OK;
        }
        EXPECT_TRUE(bStopped);
        const int64_t nBack = MonotonicUs();
        ASSERT_LT(nBack, nGiveUp);
        HRESULT hr = S_FALSE;
        while (MonotonicUs() < nBack + 4000000 &&
               (hr = pSource->Read(MonotonicUs() + 100000, &block)) != S_OK) {
        }
        EXPECT_EQ(S_OK, hr);
        EXPECT_LT(MonotonicUs() - nBack, 2000000);
        pSource->Stop();
    }
    CoUninitialize();
}

}  // namespace
