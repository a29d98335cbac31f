// The PulseAudio source against real servers: the session's, one that is not
// there or never answers, and servers of the tests' own that can be frozen.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/linux/audio/PulseSource.h"
#include "plugin/deskvid/deskvid_status.h"
#include "tests/common/HostTest.h"
#include "tests/linux/PrivatePulse.h"

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
        // Captured before it was read, not long before, after the block before.
        EXPECT_LE(block.nTimeUs, nNow);
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

TEST(PulseSource, AFrozenServerIsALostDeviceNotAHang) {
    START_PRIVATE_SERVER(server);
    auto pSource = CreatePulseSource(server.Address().c_str());
    CAudioBlock block;

    // Frozen before the start: the start fails by its deadline.
    server.Freeze();
    int64_t nStartUs = NowUs();
    EXPECT_EQ(DV_E_NO_AUDIO, pSource->Start(nStartUs + kSecondUs));
    EXPECT_LT(NowUs() - nStartUs, 2 * kSecondUs);
    server.Thaw();

    // Frozen while recording: what was captured comes out, then the loss.
    ASSERT_EQ(S_OK, pSource->Start(NowUs() + 5 * kSecondUs));
    ASSERT_EQ(S_OK, pSource->Read(NowUs() + 3 * kSecondUs, &block));
    server.Freeze();
    nStartUs = NowUs();
    HRESULT hr;
    while ((hr = pSource->Read(nStartUs + 3 * kSecondUs, &block)) == S_OK) {
    }
    EXPECT_EQ(DV_E_NO_AUDIO, hr);
    EXPECT_LT(NowUs() - nStartUs, kSecondUs + kSecondUs / 2);
    EXPECT_EQ(DV_E_NO_AUDIO, pSource->Read(NowUs() + kSecondUs, &block));
    nStartUs = NowUs();
    pSource->Stop();
    EXPECT_LT(NowUs() - nStartUs, kSecondUs / 2);
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
