// The exports over the scripted engine, linked in: what a host cannot see
// from outside — allocation failures in the registry, the order of teardown
// and removal, and engines that throw.
#include <deskvid/deskvid.h>
#include <gtest/gtest.h>

#include <stdexcept>
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

// The first creation allocates the table (1st), a node block (2nd) and the
// name's characters (3rd).
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

INSTANTIATE_TEST_SUITE_P(TableOrBlock, RegistryStorageFailureTest, testing::Values(1, 2));

TEST_F(RegistryTest, FullBlockThatCannotGrowRefusesTheNextInstance) {
    std::vector<void*> handles;
    for (int i = 0; i < 10; ++i) {
        handles.push_back(qmCreateInstance(DESKVID_INTERFACE_NAME));
        ASSERT_NE(nullptr, handles.back());
    }
    base::FailNthAllocation(1);
    EXPECT_EQ(nullptr, qmCreateInstance(DESKVID_INTERFACE_NAME));
    EXPECT_EQ(10, g_mapInstance.GetCount());
    EXPECT_EQ(1, g_mapInstance.GetBlockCount());
    for (void* lpInterface : handles) {
        qmDestroyInstance(lpInterface);
    }
}

TEST_F(RegistryTest, UnstorableNameKeepsTheInstanceRegisteredUnderAnEmptyName) {
    base::FailNthAllocation(3);
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
    delete static_cast<CWMEncDeskVid*>(static_cast<IWMEncDeskVid*>(lpInterface));
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

}  // namespace
