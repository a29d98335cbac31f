// The PulseAudio source against real servers: the session's, one that is not
// there or never answers, and servers of the tests' own that can be frozen.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/linux/audio/PulseSource.h"
#include "plugin/deskvid/deskvid_status.h"
#include "tests/common/HostTest.h"
#include "tests/linux/PrivatePulse.h"
#include "tools/hostlib/ChildProcess.h"

// libpulse recycles its packets, tag structures and memory blocks through
// lock-free lists shared by every main loop in the process; its atomics are
// not instrumented, so ThreadSanitizer takes a block that one loop thread
// freed and another reuses for a race. Only accesses made inside those parts
// of libpulse are let go: our callbacks, which libpulse calls, stay checked.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "race:^pa_tagstruct_\n"
           "race:^pa_packet_\n"
           "race:^pa_iochannel_\n"
           "race:^pa_pstream_\n"
           "race:^pa_memblock\n"
           "race:^pa_xmalloc\n";
}

namespace {

using dvengine::CAudioBlock;
using dvengine::CreatePulseSource;
using dvengine::IAudioSource;

constexpr int64_t kSecondUs = 1000000;

int64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kSecondUs + ts.tv_nsec / 1000;
}

// A unix socket listening at strPath that never accepts or answers.
int MuteSocket(const std::string& strPath) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, strPath.c_str(), sizeof(addr.sun_path) - 1);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 4)) {
        close(fd);
        return -1;
    }
    return fd;
}

#define START_PRIVATE_SERVER(server)                                     \
    CPrivateServer server;                                               \
    if (!server.Start()) {                                               \
        GTEST_SKIP() << "pulseaudio could not be started for this test"; \
    }

// Waits for the first samples (an idle null sink's monitor can take up to
// two seconds), then reads for about nUs, checking every block. Returns the
// frames read per second.
double ReadFor(IAudioSource* pSource, int64_t nUs) {
    CAudioBlock block;
    EXPECT_EQ(S_OK, pSource->Read(NowUs() + 3 * kSecondUs, &block));
    const int64_t nStartUs = NowUs();
    int64_t nFirstUs = -1;
    int64_t nEndUs = 0;  // where the last block's samples end on its stamps
    int64_t nFrames = 0;
    while (NowUs() - nStartUs < nUs) {
        const HRESULT hr = pSource->Read(NowUs() + kSecondUs / 2, &block);
        EXPECT_EQ(S_OK, hr);
        if (hr != S_OK) {
            break;
        }
        const int64_t nNow = NowUs();
        EXPECT_FALSE(block.vSamples.empty());
        EXPECT_EQ(0u, block.vSamples.size() % 2);
        // Captured before it was read (from a sink's monitor: played, which
        // may be up to the sink's latency after), not long before, after the
        // block before.
        EXPECT_LE(block.nTimeUs, nNow + kSecondUs / 5);
        EXPECT_GT(block.nTimeUs, nNow - kSecondUs / 2);
        EXPECT_GT(block.nTimeUs, nEndUs - 20000);
        nFirstUs = nFirstUs < 0 ? block.nTimeUs : nFirstUs;
        const int64_t nBlockFrames = int64_t(block.vSamples.size() / 2);
        nEndUs = block.nTimeUs + nBlockFrames * kSecondUs / 48000;
        nFrames += nBlockFrames;
    }
    // The stamps span what the samples say, within 10%.
    EXPECT_NEAR(double(nEndUs - nFirstUs), nFrames * 1e6 / 48000, 0.1 * nFrames * 1e6 / 48000);
    return nFrames * 1e6 / double(NowUs() - nStartUs);
}

TEST(PulseSource, ReadsTheDefaultSourceOnTheCaptureClock) {
    auto pSource = CreatePulseSource();
    ASSERT_EQ(S_OK, pSource->Start(NowUs() + 5 * kSecondUs));
    EXPECT_NEAR(ReadFor(pSource.get(), kSecondUs), 48000, 4800);

    pSource->Stop();
    pSource->Stop();
    CAudioBlock block;
    EXPECT_EQ(DV_E_NO_AUDIO, pSource->Read(NowUs() + kSecondUs, &block));
    // A stopped source starts again.
    ASSERT_EQ(S_OK, pSource->Start(NowUs() + 5 * kSecondUs));
    EXPECT_EQ(S_OK, pSource->Read(NowUs() + 3 * kSecondUs, &block));
}

TEST(PulseSource, FailsByTheDeadlineWithoutAServer) {
    testproc::CTempDir dir;
    CAudioBlock block;
    {
        // Nothing there.
        const char* pszOld = getenv("PULSE_SERVER");
        const std::string strOld = pszOld ? pszOld : "";
        setenv("PULSE_SERVER", ("unix:" + dir.File("none")).c_str(), 1);
        auto pSource = CreatePulseSource();
        const int64_t nStartUs = NowUs();
        EXPECT_EQ(DV_E_NO_AUDIO, pSource->Start(nStartUs + 2 * kSecondUs));
        EXPECT_LT(NowUs() - nStartUs, 2 * kSecondUs + kSecondUs / 2);
        EXPECT_EQ(DV_E_NO_AUDIO, pSource->Read(NowUs() + kSecondUs, &block));
        pszOld ? setenv("PULSE_SERVER", strOld.c_str(), 1) : unsetenv("PULSE_SERVER");
    }
    {
        // Something that takes the connection and never answers.
        const int fd = MuteSocket(dir.File("mute"));
        ASSERT_GE(fd, 0);
        auto pSource = CreatePulseSource(("unix:" + dir.File("mute")).c_str());
        const int64_t nStartUs = NowUs();
        EXPECT_EQ(DV_E_NO_AUDIO, pSource->Start(nStartUs + kSecondUs / 2));
        EXPECT_GE(NowUs() - nStartUs, kSecondUs / 2);
        EXPECT_LT(NowUs() - nStartUs, kSecondUs + kSecondUs / 2);
        close(fd);
    }
}

// Reads until a block satisfies bFound or the deadline passes; true when one
// did (it is left in *pBlock, read at *pnReadUs).
template <class F>
bool ReadUntil(IAudioSource* pSource, int64_t nDeadlineUs, CAudioBlock* pBlock, int64_t* pnReadUs,
               F bFound) {
    while (NowUs() < nDeadlineUs) {
        if (pSource->Read(nDeadlineUs, pBlock) == S_OK && bFound(*pBlock)) {
            *pnReadUs = NowUs();
            return true;
        }
    }
    return false;
}

TEST(PulseSource, AStoppedServerIsAGapAndARestartedOneIsConnectedAgain) {
    START_PRIVATE_SERVER(server);
    auto pSource = CreatePulseSource(server.Address().c_str());
    CAudioBlock block;
    int64_t nReadUs = 0;
    const auto Any = [](const CAudioBlock&) { return true; };

    // Stopped before the start: the start fails by its deadline.
    server.Freeze();
    int64_t nStartUs = NowUs();
    EXPECT_EQ(DV_E_NO_AUDIO, pSource->Start(nStartUs + kSecondUs));
    EXPECT_LT(NowUs() - nStartUs, 2 * kSecondUs);
    server.Thaw();

    // Stopped for 3 s while recording: what was captured comes out, then
    // nothing (not a failure) until it goes on, then samples stamped after
    // the gap.
    ASSERT_EQ(S_OK, pSource->Start(NowUs() + 5 * kSecondUs));
    ASSERT_EQ(S_OK, pSource->Read(NowUs() + 3 * kSecondUs, &block));
    server.Freeze();
    const int64_t nThawUs = NowUs() + 3 * kSecondUs;
    HRESULT hr;
    while ((hr = pSource->Read(NowUs() + kSecondUs / 2, &block)) == S_OK) {
    }
    EXPECT_EQ(S_FALSE, hr);
    while (NowUs() < nThawUs) {
        EXPECT_EQ(S_FALSE, pSource->Read(std::min(nThawUs, NowUs() + kSecondUs / 2), &block));
    }
    server.Thaw();
    EXPECT_TRUE(ReadUntil(pSource.get(), NowUs() + 2 * kSecondUs, &block, &nReadUs,
                          [&](const CAudioBlock& b) { return b.nTimeUs >= nThawUs; }));

    // Killed: the device is gone until a new server answers on its socket,
    // then the samples come again within two seconds.
    server.Kill();
    const int64_t nGoneUs = NowUs() + 3 * kSecondUs;
    while ((hr = pSource->Read(NowUs() + kSecondUs / 10, &block)) != DV_E_NO_AUDIO &&
           NowUs() < nGoneUs) {
    }
    EXPECT_EQ(DV_E_NO_AUDIO, hr);
    ASSERT_TRUE(server.Restart());
    const int64_t nBackUs = NowUs();
    EXPECT_TRUE(ReadUntil(pSource.get(), nBackUs + 4 * kSecondUs, &block, &nReadUs, Any));
    EXPECT_LT(nReadUs - nBackUs, 2 * kSecondUs);

    // Stopped again: the stop does not wait for it.
    server.Freeze();
    nStartUs = NowUs();
    pSource->Stop();
    EXPECT_LT(NowUs() - nStartUs, kSecondUs / 2);
    server.Thaw();
}

// How much of a block's left channel is a tone of dHz: its amplitude there
// against the whole block's, 0 for silence.
double Tone(const CAudioBlock& block, double dHz) {
    double dSin = 0, dCos = 0, dPower = 0;
    const size_t nFrames = block.vSamples.size() / 2;
    for (size_t i = 0; i < nFrames; ++i) {
        const double dSample = block.vSamples[2 * i];
        dSin += dSample * std::sin(2 * M_PI * dHz * double(i) / 48000);
        dCos += dSample * std::cos(2 * M_PI * dHz * double(i) / 48000);
        dPower += dSample * dSample;
    }
    return dPower < nFrames * 100.0 ? 0 : std::hypot(dSin, dCos) / std::sqrt(dPower * nFrames / 2);
}

// The next 50 ms or more, block after block, in one block stamped by its
// first; false when they did not come by the deadline.
bool ReadWindow(IAudioSource* pSource, int64_t nDeadlineUs, CAudioBlock* pWindow) {
    CAudioBlock block;
    pWindow->vSamples.clear();
    while (pWindow->vSamples.size() < 4800) {
        if (pSource->Read(nDeadlineUs, &block) != S_OK) {
            return false;
        }
        pWindow->nTimeUs = pWindow->vSamples.empty() ? block.nTimeUs : pWindow->nTimeUs;
        pWindow->vSamples.insert(pWindow->vSamples.end(), block.vSamples.begin(),
                                 block.vSamples.end());
    }
    return true;
}

// From now on, pSource's sound carries nHz within a second (waiting up to
// three for a failure's message).
void ExpectToneWithinASecond(IAudioSource* pSource, int nHz) {
    const int64_t nFromUs = NowUs();
    CAudioBlock block;
    bool bFound = false;
    while (!bFound && ReadWindow(pSource, nFromUs + 3 * kSecondUs, &block)) {
        bFound = Tone(block, nHz) > 0.5;
    }
    EXPECT_TRUE(bFound) << nHz;
    EXPECT_LT(NowUs() - nFromUs, kSecondUs) << nHz;
}

// Two sinks playing a tone each; the defaults change: the input from one's
// monitor to the other's, the output from one sink to the other (what plays on
// the first then moves along, so the second plays both). Either recording
// follows within a second. The output's monitor holds what played before its
// start from the start on, and each of its blocks is placed where it is
// heard: the newest samples, read as they come, ahead of their reading by the
// sink's latency. A player of silence on each keeps that latency at 0.2 s, as
// an application playing there would: a sink that no one asks for less mixes
// seconds ahead, and its monitor hands a new stream only what it mixes from
// then on.
TEST(PulseSource, TheDefaultDevicesAreFollowed) {
    CPrivateServer server;
    if (!server.Start(
            {"module-null-sink sink_name=a rate=48000", "module-sine sink=a frequency=1000",
             "module-null-sink sink_name=b rate=48000", "module-sine sink=b frequency=600"})) {
        GTEST_SKIP() << "pulseaudio could not be started for this test";
    }
    hostlib::CChildProcess rgPlayer[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(rgPlayer[i].Start(
            {"sh", "-c",
             "exec pacat --server=" + server.Address() + " -d " + "ab"[i] +
                 " --latency-msec=200 --raw --format=s16le --rate=48000 --channels=2 </dev/zero"}));
    }
    CAudioBlock block;
    for (bool bMonitor : {false, true}) {
        SCOPED_TRACE(bMonitor ? "output" : "input");
        const char* pszVerb = bMonitor ? "set-default-sink" : "set-default-source";
        ASSERT_EQ(0, server.Control({pszVerb, bMonitor ? "a" : "a.monitor"}));
        auto pSource = CreatePulseSource(server.Address().c_str(), bMonitor);
        ASSERT_EQ(S_OK, pSource->Start(NowUs() + 5 * kSecondUs));
        const int64_t nStartUs = NowUs();
        ASSERT_EQ(S_OK, pSource->Read(NowUs() + 3 * kSecondUs, &block));
        EXPECT_TRUE(!bMonitor || block.nTimeUs <= nStartUs);
        ASSERT_TRUE(ReadWindow(pSource.get(), NowUs() + kSecondUs, &block));
        EXPECT_GT(Tone(block, 1000), 0.5);
        if (bMonitor) {
            for (int i = 0; i < 10; ++i) {
                while (pSource->Read(NowUs(), &block) == S_OK) {
                }
                ASSERT_EQ(S_OK, pSource->Read(NowUs() + kSecondUs, &block));
                while (pSource->Read(NowUs(), &block) == S_OK) {
                }
                EXPECT_GT(block.nTimeUs + int64_t(block.vSamples.size() / 2) * kSecondUs / 48000,
                          NowUs());
            }
        }
        ASSERT_EQ(0, server.Control({pszVerb, bMonitor ? "b" : "b.monitor"}));
        ExpectToneWithinASecond(pSource.get(), 600);
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(ReadWindow(pSource.get(), NowUs() + kSecondUs, &block));
            EXPECT_GT(Tone(block, 600), 0.5);
        }
    }
    // The output recorded goes (what played there moves back to the other,
    // the default again): the recording follows within a second.
    const std::string strModules =
        testproc::RunToEnd({"pactl", "--server=" + server.Address(), "list", "short", "modules"})
            .strOut;
    const size_t nAt = strModules.find("sink_name=b");
    ASSERT_NE(std::string::npos, nAt);
    const size_t nLine = strModules.rfind('\n', nAt) + 1;  // npos + 1 is 0
    auto pSource = CreatePulseSource(server.Address().c_str(), true);
    ASSERT_EQ(S_OK, pSource->Start(NowUs() + 5 * kSecondUs));
    ASSERT_EQ(0, server.Control({"unload-module",
                                 strModules.substr(nLine, strModules.find('\t', nLine) - nLine)}));
    ExpectToneWithinASecond(pSource.get(), 1000);
}

TEST(PulseSource, ASuspendedSourceIsQuietNotLost) {
    START_PRIVATE_SERVER(server);
    auto pSource = CreatePulseSource(server.Address().c_str());
    ASSERT_EQ(S_OK, pSource->Start(NowUs() + 5 * kSecondUs));
    CAudioBlock block;
    ASSERT_EQ(S_OK, pSource->Read(NowUs() + 3 * kSecondUs, &block));
    ASSERT_EQ(0, server.Control({"suspend-sink", "test_null", "1"}));
    // What was queued before the suspension, then nothing for longer than a
    // frozen server is given.
    HRESULT hr;
    const int64_t nQuietUs = NowUs() + 3 * kSecondUs / 2;
    while ((hr = pSource->Read(nQuietUs, &block)) == S_OK) {
    }
    EXPECT_EQ(S_FALSE, hr);
    ASSERT_EQ(0, server.Control({"suspend-sink", "test_null", "0"}));
    EXPECT_EQ(S_OK, pSource->Read(NowUs() + 3 * kSecondUs, &block));
}

TEST(PulseSource, ConcurrentSourcesEachGetTheirOwnSamples) {
    START_PRIVATE_SERVER(server);
    auto Record = [&server](double* pdRate) {
        auto pSource = CreatePulseSource(server.Address().c_str());
        if (pSource->Start(NowUs() + 5 * kSecondUs) == S_OK) {
            *pdRate = ReadFor(pSource.get(), kSecondUs / 2);
        }
        pSource->Stop();
    };
    double dRate1 = 0;
    double dRate2 = 0;
    std::thread thread1(Record, &dRate1);
    std::thread thread2(Record, &dRate2);
    thread1.join();
    thread2.join();
    EXPECT_NEAR(dRate1, 48000, 4800);
    EXPECT_NEAR(dRate2, 48000, 4800);
}

}  // namespace
