// The exports over the scripted engine, linked in: what a host cannot see
// from outside — allocation failures in the registry, the order of teardown
// and removal, and engines that throw.
#include <deskvid/deskvid.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Check.h"
#include "base/Memory.h"
#include "capture/WMEncDeskVid.h"
#include "plugin/WmEncComDef.h"
#include "tests/engine/ScriptedEngine.h"

namespace {

class RegistryTest : public testing::Test {
protected:
    void SetUp() override {
        scripted::Register();
        scripted::Reset();
    }
    void TearDown() override {
        base::FailNthAllocation(0);
        EXPECT_EQ(0, g_mapInstance.GetCount());
        EXPECT_FALSE(g_mapInstance.HasTable());
        EXPECT_EQ(0, g_mapInstance.GetBlockCount());
        EXPECT_EQ(0, scripted::LiveObjects());
        scripted::Reset();
        scripted::Unregister();
    }

    static int32_t Start(void* lpInterface) {
        return static_cast<IWMEncDeskVid*>(lpInterface)->Control(CAPCMD_START, nullptr);
    }
};

// The first creation allocates the instance (1st), the table (2nd), a node
// block (3rd) and the name's characters (4th).
class RegistryStorageFailureTest : public RegistryTest, public testing::WithParamInterface<int> {};

TEST_P(RegistryStorageFailureTest, InstanceIsFreedAndNothingRecorded) {
    base::FailNthAllocation(GetParam());
    EXPECT_EQ(nullptr, qmCreateInstance(DESKVID_INTERFACE_NAME));
    EXPECT_EQ(0, g_mapInstance.GetCount());
    EXPECT_FALSE(g_mapInstance.HasTable());
    EXPECT_EQ(0, g_mapInstance.GetBlockCount());
    // The next creation finds the registry as if nothing had happened.
    void* lpInterface = qmCreateInstance(DESKVID_INTERFACE_NAME);
    ASSERT_NE(nullptr, lpInterface);
    EXPECT_EQ(1, g_mapInstance.GetCount());
    qmDestroyInstance(lpInterface);
}

INSTANTIATE_TEST_SUITE_P(InstanceTableOrBlock, RegistryStorageFailureTest,
                         testing::Values(1, 2, 3));

TEST_F(RegistryTest, FullBlockThatCannotGrowRefusesTheNextInstance) {
    std::vector<void*> handles;
    for (int i = 0; i < 10; ++i) {
        handles.push_back(qmCreateInstance(DESKVID_INTERFACE_NAME));
        ASSERT_NE(nullptr, handles.back());
    }
    // The instance is allocated first, then the block.
    for (int n : {1, 2}) {
        base::FailNthAllocation(n);
        EXPECT_EQ(nullptr, qmCreateInstance(DESKVID_INTERFACE_NAME));
    }
    EXPECT_EQ(10, g_mapInstance.GetCount());
    EXPECT_EQ(1, g_mapInstance.GetBlockCount());
    for (void* lpInterface : handles) {
        qmDestroyInstance(lpInterface);
    }
}

TEST_F(RegistryTest, UnstorableNameKeepsTheInstanceRegisteredUnderAnEmptyName) {
    base::FailNthAllocation(4);
    void* lpInterface = qmCreateInstance(DESKVID_INTERFACE_NAME);
    ASSERT_NE(nullptr, lpInterface);
    CRefString* pName = nullptr;
    ASSERT_TRUE(g_mapInstance.Lookup(lpInterface, &pName));
    EXPECT_STREQ("", pName->GetString());

    // The names differ, so destruction leaves instance and entry in place,
    // silently.
    ASSERT_EQ(0, Start(lpInterface));
    int nChecks = base::FailedCheckCount();
    scripted::Reset();
    qmDestroyInstance(lpInterface);
    EXPECT_EQ(nChecks, base::FailedCheckCount());
    EXPECT_TRUE(scripted::Journal().empty());
    EXPECT_TRUE(g_mapInstance.Lookup(lpInterface));

    // The test, not the host, can still tidy it away.
    CAutoLock lock(&g_mapInstance);
    g_mapInstance.Erase(lpInterface);
    FreeInstance(static_cast<CWMEncDeskVid*>(static_cast<IWMEncDeskVid*>(lpInterface)));
}

TEST_F(RegistryTest, TeardownRunsUnderTheLockBeforeTheEntryGoes) {
    void* lpInterface = qmCreateInstance(DESKVID_INTERFACE_NAME);
    ASSERT_NE(nullptr, lpInterface);
    ASSERT_EQ(0, Start(lpInterface));
    int nStops = 0;
    bool bRegisteredDuringStop = false;
    scripted::SetStopHook([&] {
        ++nStops;
        CAutoLock lock(&g_mapInstance);  // recursive: this thread holds it
        bRegisteredDuringStop = g_mapInstance.Lookup(lpInterface);
    });
    qmDestroyInstance(lpInterface);
    scripted::SetStopHook(nullptr);
    EXPECT_EQ(1, nStops);
    EXPECT_TRUE(bRegisteredDuringStop);
    EXPECT_FALSE(g_mapInstance.Lookup(lpInterface));
}

TEST_F(RegistryTest, ThrowingEngineDoesNotReachTheHost) {
    void* lpInterface = qmCreateInstance(DESKVID_INTERFACE_NAME);
    ASSERT_NE(nullptr, lpInterface);
    ASSERT_EQ(0, Start(lpInterface));
    scripted::SetStopHook([] { throw std::runtime_error("engine failure"); });
    EXPECT_NO_THROW(qmDestroyInstance(lpInterface));
    scripted::SetStopHook(nullptr);
    EXPECT_FALSE(g_mapInstance.Lookup(lpInterface));
}

// The map's long-chain warning, as a host meets it. Handles are heap
// addresses, so the test makes instances until one bucket holds 31 and keeps
// only those: the oldest then stands behind 30 others.
int Warnings(const std::string& text) {
    int n = 0;
    for (size_t i = text.find("unreasonable hash key"); i != std::string::npos;
         i = text.find("unreasonable hash key", i + 1)) {
        ++n;
    }
    return n;
}

TEST_F(RegistryTest, LongChainWarnsThroughTheExports) {
    auto bucket = [](void* p) {
        return (static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)) >> 4) % 17u;
    };
    std::map<uint32_t, std::vector<void*>> buckets;
    std::vector<void*>* pChain = nullptr;
    for (int i = 0; i < 5000 && pChain == nullptr; ++i) {
        void* lpInterface = qmCreateInstance(DESKVID_INTERFACE_NAME);
        ASSERT_NE(nullptr, lpInterface);
        std::vector<void*>& chain = buckets[bucket(lpInterface)];
        chain.push_back(lpInterface);
        if (chain.size() == 31) {
            pChain = &chain;
        }
    }
    ASSERT_NE(nullptr, pChain);
    const uint32_t nBucket = bucket(pChain->front());
    for (auto& entry : buckets) {
        if (entry.first != nBucket) {
            for (void* lpInterface : entry.second) {
                qmDestroyInstance(lpInterface);
            }
        }
    }
    std::vector<void*> chain = *pChain;

    // Destroy walks the chain twice (lookup, then the value): one warning each.
    testing::internal::CaptureStdout();
    qmDestroyInstance(chain.front());
    EXPECT_EQ(2, Warnings(testing::internal::GetCapturedStdout()));
    chain.erase(chain.begin());

    // A create walks the whole chain of its bucket before inserting: silent
    // past 30 nodes, one warning past 31.
    int nLanded = 0;
    for (int i = 0; i < 5000 && nLanded < 2; ++i) {
        testing::internal::CaptureStdout();
        void* lpInterface = qmCreateInstance(DESKVID_INTERFACE_NAME);
        const int nWarnings = Warnings(testing::internal::GetCapturedStdout());
        ASSERT_NE(nullptr, lpInterface);
        chain.push_back(lpInterface);
        const bool bLanded = bucket(lpInterface) == nBucket;
        nLanded += bLanded ? 1 : 0;
        EXPECT_EQ(bLanded && nLanded == 2 ? 1 : 0, nWarnings) << nLanded;
    }
    EXPECT_EQ(2, nLanded);
    // Newest first: each stands at the head of its chain.
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        qmDestroyInstance(*it);
    }
}

}  // namespace
