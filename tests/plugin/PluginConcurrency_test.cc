// The exports from many host threads at once, over the scripted engine.
#include <deskvid/deskvid.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "plugin/WmEncComDef.h"
#include "tests/base/Latch.h"
#include "tests/engine/ScriptedEngine.h"

namespace {

class PluginConcurrencyTest : public testing::Test {
protected:
    void SetUp() override {
        scripted::Register();
        scripted::Reset();
    }
    void TearDown() override {
        scripted::SetStopHook(nullptr);
        scripted::Reset();
        scripted::Unregister();
    }

    static int32_t Command(void* lpInterface, int nCommand, const CAPTURE_PARAMS* pParams) {
        return static_cast<IWMEncDeskVid*>(lpInterface)->Control(nCommand, pParams);
    }
};

TEST_F(PluginConcurrencyTest, ThreadsCreateCommandAndDestroyTheirOwnInstances) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 30;
    constexpr int kHeld = 3;  // instances each thread holds at once
    static const DVWCHAR wszFile[] = {'o', 'u', 't', '.', 'w', 'm', 'v', 0};
    CLatch start(1);
    std::atomic<int> nFailures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.Wait();
            CAPTURE_PARAMS params = {};
            params.dwMask = CAPF_FILE | CAPF_BITRATE;
            params.lpwszFile = wszFile;
            params.nBitrateKbps = 100 + t;
            for (int nRound = 0; nRound < kRounds; ++nRound) {
                void* ahInstance[kHeld];
                for (void*& h : ahInstance) {
                    h = qmCreateInstance(DESKVID_INTERFACE_NAME);
                    if (h == nullptr || Command(h, CAPCMD_START, &params) != 0) {
                        ++nFailures;
                    }
                }
                for (int i = 0; i < kHeld; ++i) {
                    void* h = ahInstance[i];
                    if (h == nullptr) {
                        continue;
                    }
                    if (Command(h, CAPCMD_PAUSE, nullptr) != 0 ||
                        Command(h, CAPCMD_START, nullptr) != 0) {
                        ++nFailures;
                    }
                    // One stopped by command, the others by destruction.
                    if (i == 0 && Command(h, CAPCMD_STOP, nullptr) != 0) {
                        ++nFailures;
                    }
                    qmDestroyInstance(h);
                }
            }
        });
    }
    start.CountDown();
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(0, nFailures.load());
    EXPECT_EQ(0, scripted::LiveObjects());
    CAutoLock lock(&g_mapInstance);
    EXPECT_EQ(0, g_mapInstance.GetCount());
    EXPECT_FALSE(g_mapInstance.HasTable());
    EXPECT_EQ(0, g_mapInstance.GetBlockCount());
}

TEST_F(PluginConcurrencyTest, SlowEngineStopHoldsOtherCreations) {
    void* lpSlow = qmCreateInstance(DESKVID_INTERFACE_NAME);
    ASSERT_NE(nullptr, lpSlow);
    ASSERT_EQ(0, Command(lpSlow, CAPCMD_START, nullptr));

    CLatch inStop(1);
    CLatch finishStop(1);
    std::atomic<bool> bStopReturned{false};
    scripted::SetStopHook([&] {
        inStop.CountDown();
        finishStop.Wait();
        bStopReturned = true;
    });
    std::thread destroyer([&] { qmDestroyInstance(lpSlow); });
    inStop.Wait();

    CLatch creating(1);
    bool bStopReturnedFirst = false;
    void* lpNew = nullptr;
    std::thread creator([&] {
        creating.CountDown();
        lpNew = qmCreateInstance(DESKVID_INTERFACE_NAME);
        bStopReturnedFirst = bStopReturned;
    });
    creating.Wait();
    // The creator is on its way into the registry; it must wait for the
    // stop that the destroyer is inside of.
    EXPECT_FALSE(bStopReturned);
    finishStop.CountDown();
    destroyer.join();
    creator.join();
    EXPECT_TRUE(bStopReturnedFirst);
    ASSERT_NE(nullptr, lpNew);
    qmDestroyInstance(lpNew);
    EXPECT_EQ(0, scripted::LiveObjects());
}

}  // namespace
