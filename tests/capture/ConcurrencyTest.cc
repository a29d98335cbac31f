// Many instances on many threads share the one scripted engine: its journal,
// counts and live-object count must stay exact.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "capture/WMEncDeskVid.h"
#include "tests/engine/ScriptedEngine.h"

namespace {

TEST(ConcurrencyTest, InstancesOnManyThreadsShareTheEngine) {
    scripted::Register();
    scripted::Reset();
    constexpr int kThreads = 8;
    constexpr int kRounds = 20;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kRounds; ++i) {
                CWMEncDeskVid instance;
                failures[t] += instance.Control(CAPCMD_START, nullptr) != S_OK;
                failures[t] += instance.Control(CAPCMD_PAUSE, nullptr) != S_OK;
                failures[t] += instance.Control(CAPCMD_START, nullptr) != S_OK;
                failures[t] += instance.Control(CAPCMD_STOP, nullptr) != S_OK;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
    }
    // First start 39 calls, pause 1, reconfiguration 35, stop 2.
    EXPECT_EQ(scripted::Journal().size(), size_t{kThreads * kRounds * (39 + 1 + 35 + 2)});
    EXPECT_EQ(scripted::LiveObjects(), 0);
    scripted::Reset();
}

}  // namespace
