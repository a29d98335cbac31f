// Base classes used from several threads: reference counts of shared string
// blocks, and the lock.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/Locker.h"
#include "base/RefString.h"
#include "tests/base/Latch.h"

namespace {

TEST(RefStringConcurrencyTest, CopiesReleasedOnSeveralThreads) {
    constexpr int kThreads = 8;
    constexpr int kCopies = 2000;
    for (int nRound = 0; nRound < 20; ++nRound) {
        CRefString* pOriginal = new CRefString();
        ASSERT_TRUE(pOriginal->Assign("IWMEncDeskVid"));
        std::vector<std::vector<CRefString*>> copies(kThreads);
        for (auto& v : copies) {
            for (int i = 0; i < kCopies; ++i) {
                v.push_back(new CRefString(*pOriginal));
            }
        }
        ASSERT_EQ(1 + kThreads * kCopies, pOriginal->GetRefs());
        CLatch start(1);
        std::vector<std::thread> threads;
        for (auto& v : copies) {
            threads.emplace_back([&start, &v] {
                start.Wait();
                for (CRefString* p : v) {
                    delete p;
                }
            });
        }
        // The original goes too: whichever release comes last frees the block
        // (AddressSanitizer reports a leak or a double free otherwise).
        start.CountDown();
        EXPECT_STREQ("IWMEncDeskVid", pOriginal->GetString());
        bool bOriginalLast = nRound % 2 == 0;
        if (!bOriginalLast) {
            delete pOriginal;
        }
        for (auto& t : threads) {
            t.join();
        }
        if (bOriginalLast) {
            EXPECT_EQ(1, pOriginal->GetRefs());
            delete pOriginal;
        }
    }
}

TEST(LockerConcurrencyTest, NestedGuardsHoldTheLockUntilTheOuterOneGoes) {
    CLocker locker;
    CLatch waiting(1);
    bool bReleased = false;  // written under the lock
    bool bSeenReleased = false;
    std::thread other;
    {
        CAutoLock outer(&locker);
        {
            CAutoLock inner(&locker);
            other = std::thread([&] {
                waiting.CountDown();
                CAutoLock guard(&locker);
                bSeenReleased = bReleased;
            });
            waiting.Wait();
        }
        // Still held by the outer guard: the other thread must not be in.
        bReleased = true;
    }
    other.join();
    EXPECT_TRUE(bSeenReleased);
}

TEST(LockerConcurrencyTest, ManyThreadsSerialise) {
    CLocker locker;
    int nCounter = 0;  // a plain int: a broken lock shows as a data race
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                CAutoLock guard(&locker);
                CAutoLock again(&locker);
                ++nCounter;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(40000, nCounter);
}

}  // namespace
