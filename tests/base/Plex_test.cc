#include "base/Plex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/Check.h"
#include "base/Memory.h"

namespace {

const void* Key(uintptr_t n) {
    return reinterpret_cast<const void*>(n);
}

// The n-th key (from 0) whose hash lands in bucket 1: hashes 1, 18, 35...
const void* Bucket1Key(int n) {
    return Key((1 + 17 * static_cast<uintptr_t>(n)) << 4);
}

const std::string kWarning = "warning: unreasonable hash key!\r\n";

// On Windows the C runtime's text mode widens each "\n" on its way out
// ("\r\r\n"), and GoogleTest reads the captured stream back in text mode,
// which narrows it again: the captured text is the line as written.
const std::string kWarningOut = kWarning;

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

TEST(PlexTest, ChainsBlocksAtTheHeadAndReportsEmptyRequests) {
    CPlex* pHead = nullptr;
    CPlex* pFirst = CPlex::Create(pHead, 10, 16);
    ASSERT_NE(nullptr, pFirst);
    CPlex* pSecond = CPlex::Create(pHead, 10, 16);
    ASSERT_NE(nullptr, pSecond);
    EXPECT_EQ(pSecond, pHead);
    EXPECT_EQ(pFirst, pSecond->pNext);
    EXPECT_EQ(nullptr, pFirst->pNext);

    int nBefore = base::FailedCheckCount();
    testing::internal::CaptureStderr();
    CPlex* pEmpty = CPlex::Create(pHead, 0, 16);
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(nBefore + 1, base::FailedCheckCount());
    EXPECT_NE(std::string::npos, report.find("nMax > 0 && cbElement > 0"));
    EXPECT_NE(nullptr, pEmpty);  // the allocation still proceeds
    EXPECT_EQ(pEmpty, pHead);

    base::FailNthAllocation(1);
    EXPECT_EQ(nullptr, CPlex::Create(pHead, 10, 16));
    EXPECT_EQ(pEmpty, pHead);
    pHead->FreeDataChain();
}

TEST(PtrToStrMapTest, StorageGrowsByBlocksAndIsFreedWhenEmpty) {
    CPtrToStrMap map;
    EXPECT_FALSE(map.HasTable());
    EXPECT_EQ(0, map.GetBlockCount());

    ASSERT_NE(nullptr, map.ValueAt(Key(0x1000)));
    EXPECT_TRUE(map.HasTable());
    EXPECT_EQ(1, map.GetBlockCount());
    for (uintptr_t i = 1; i < 10; ++i) {
        ASSERT_NE(nullptr, map.ValueAt(Key(0x1000 + i * 0x10)));
    }
    EXPECT_EQ(10, map.GetCount());
    EXPECT_EQ(1, map.GetBlockCount());
    ASSERT_NE(nullptr, map.ValueAt(Key(0x1000 + 10 * 0x10)));
    EXPECT_EQ(11, map.GetCount());
    EXPECT_EQ(2, map.GetBlockCount());

    // A freed node is reused before any new block.
    EXPECT_TRUE(map.Erase(Key(0x1000)));
    for (uintptr_t i = 11; i < 21; ++i) {
        ASSERT_NE(nullptr, map.ValueAt(Key(0x1000 + i * 0x10)));
    }
    EXPECT_EQ(20, map.GetCount());
    EXPECT_EQ(2, map.GetBlockCount());

    for (uintptr_t i = 1; i < 21; ++i) {
        EXPECT_TRUE(map.Erase(Key(0x1000 + i * 0x10)));
    }
    EXPECT_EQ(0, map.GetCount());
    EXPECT_FALSE(map.HasTable());
    EXPECT_EQ(0, map.GetBlockCount());

    ASSERT_NE(nullptr, map.ValueAt(Key(0x1000)));
    EXPECT_TRUE(map.HasTable());
    EXPECT_EQ(1, map.GetBlockCount());
}

TEST(PtrToStrMapTest, LookupOrInsertKeepsValues) {
    CPtrToStrMap map;
    EXPECT_FALSE(map.Lookup(Key(0x40)));
    CRefString* pValue = map.ValueAt(Key(0x40));
    ASSERT_NE(nullptr, pValue);
    EXPECT_EQ(1, map.GetCount());
    EXPECT_TRUE(pValue->IsSharedEmpty());
    ASSERT_TRUE(pValue->Assign("IWMEncDeskVid"));

    CRefString* pFound = nullptr;
    ASSERT_TRUE(map.Lookup(Key(0x40), &pFound));
    EXPECT_EQ(pValue, pFound);
    EXPECT_EQ(pValue, map.ValueAt(Key(0x40)));
    EXPECT_EQ(1, map.GetCount());
    EXPECT_STREQ("IWMEncDeskVid", pFound->GetString());
}

TEST(PtrToStrMapTest, NodesAreHandedOutInAscendingAddressOrder) {
    CPtrToStrMap map;
    CRefString* pLast = nullptr;
    for (uintptr_t i = 0; i < 10; ++i) {
        CRefString* p = map.ValueAt(Key(0x100 + i * 0x10));
        ASSERT_NE(nullptr, p);
        if (pLast != nullptr) {
            EXPECT_LT(reinterpret_cast<uintptr_t>(pLast), reinterpret_cast<uintptr_t>(p));
        }
        pLast = p;
    }
}

TEST(PtrToStrMapTest, EraseOfAnAbsentKeyChangesNothing) {
    CPtrToStrMap map;
    EXPECT_FALSE(map.Erase(Key(0x10)));
    EXPECT_FALSE(map.HasTable());
    ASSERT_NE(nullptr, map.ValueAt(Key(0x10)));
    EXPECT_FALSE(map.Erase(Key(0x20)));
    EXPECT_FALSE(map.Erase(Key(0x10 + (17 << 4))));  // same bucket, other key
    EXPECT_EQ(1, map.GetCount());
    EXPECT_TRUE(map.HasTable());
    EXPECT_EQ(1, map.GetBlockCount());
    EXPECT_TRUE(map.Lookup(Key(0x10)));
}

TEST(PtrToStrMapTest, WiderKeysHashTheirLowBits) {
    if (sizeof(void*) <= 4) {
        GTEST_SKIP() << "keys are 32 bits wide";
    }
    CPtrToStrMap map;
    uintptr_t nHigh = static_cast<uintptr_t>(1) << (sizeof(void*) * 8 - 4);
    ASSERT_NE(nullptr, map.ValueAt(Key(16)));
    ASSERT_NE(nullptr, map.ValueAt(Key(nHigh | 16)));
    EXPECT_TRUE(map.Lookup(Key(16)));
    EXPECT_TRUE(map.Lookup(Key(nHigh | 16)));
    EXPECT_EQ(2, map.GetCount());
}

TEST(PtrToStrMapTest, LaterKeyStandsFirstInASharedBucket) {
    // 16 and 288 both hash into bucket 1. With 29 more keys between them,
    // 16 is the 31st node of the chain only if each key goes in at its head.
    CPtrToStrMap map;
    ASSERT_NE(nullptr, map.ValueAt(Key(16)));
    for (int i = 2; i < 31; ++i) {
        ASSERT_NE(nullptr, map.ValueAt(Bucket1Key(i)));
    }
    ASSERT_NE(nullptr, map.ValueAt(Key(288)));

    testing::internal::CaptureStdout();
    EXPECT_TRUE(map.Lookup(Key(288)));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    testing::internal::CaptureStdout();
    EXPECT_TRUE(map.Lookup(Key(16)));
    EXPECT_EQ(kWarningOut, testing::internal::GetCapturedStdout());
}

TEST(PtrToStrMapTest, LongChainsWarnForEveryNodePastTheThirtieth) {
    CPtrToStrMap map;
    for (int i = 0; i < 32; ++i) {
        ASSERT_NE(nullptr, map.ValueAt(Bucket1Key(i)));
    }
    const void* pAbsent = Bucket1Key(40);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(map.Lookup(pAbsent));
    EXPECT_EQ(Repeat(kWarningOut, 2), testing::internal::GetCapturedStdout());

    // The oldest key is the 32nd node: a match is still warned about first.
    testing::internal::CaptureStdout();
    EXPECT_TRUE(map.Lookup(Bucket1Key(0)));
    EXPECT_EQ(Repeat(kWarningOut, 2), testing::internal::GetCapturedStdout());

    testing::internal::CaptureStdout();
    EXPECT_NE(nullptr, map.ValueAt(Bucket1Key(1)));
    EXPECT_EQ(kWarningOut, testing::internal::GetCapturedStdout());

    // Inserting walks the whole chain first.
    testing::internal::CaptureStdout();
    EXPECT_NE(nullptr, map.ValueAt(pAbsent));
    EXPECT_EQ(Repeat(kWarningOut, 2), testing::internal::GetCapturedStdout());

    testing::internal::CaptureStdout();
    EXPECT_TRUE(map.Erase(Bucket1Key(0)));
    EXPECT_FALSE(map.Erase(Bucket1Key(41)));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST(PtrToStrMapTest, FailedTableAllocationLeavesTheMapEmpty) {
    CPtrToStrMap map;
    base::FailNthAllocation(1);
    EXPECT_EQ(nullptr, map.ValueAt(Key(0x10)));
    EXPECT_EQ(0, map.GetCount());
    EXPECT_FALSE(map.HasTable());
    EXPECT_EQ(0, map.GetBlockCount());
    EXPECT_FALSE(map.Lookup(Key(0x10)));
}

TEST(PtrToStrMapTest, FailedFirstBlockAllocationDropsTheNewTable) {
    CPtrToStrMap map;
    base::FailNthAllocation(2);
    EXPECT_EQ(nullptr, map.ValueAt(Key(0x10)));
    EXPECT_EQ(0, map.GetCount());
    EXPECT_FALSE(map.HasTable());
    EXPECT_EQ(0, map.GetBlockCount());
}

TEST(PtrToStrMapTest, FailedLaterBlockAllocationKeepsTheEntries) {
    CPtrToStrMap map;
    for (uintptr_t i = 0; i < 10; ++i) {
        CRefString* p = map.ValueAt(Key(0x100 + i * 0x10));
        ASSERT_NE(nullptr, p);
        ASSERT_TRUE(p->Assign("x"));
    }
    base::FailNthAllocation(1);
    EXPECT_EQ(nullptr, map.ValueAt(Key(0x1000)));
    EXPECT_EQ(10, map.GetCount());
    EXPECT_EQ(1, map.GetBlockCount());
    EXPECT_FALSE(map.Lookup(Key(0x1000)));
    for (uintptr_t i = 0; i < 10; ++i) {
        CRefString* p = nullptr;
        ASSERT_TRUE(map.Lookup(Key(0x100 + i * 0x10), &p));
        EXPECT_STREQ("x", p->GetString());
    }
    EXPECT_NE(nullptr, map.ValueAt(Key(0x1000)));
    EXPECT_EQ(2, map.GetBlockCount());
}

TEST(PtrToStrMapTest, ClearReleasesValuesAndStorage) {
    CPtrToStrMap map;
    CRefString* p = map.ValueAt(Key(0x10));
    ASSERT_NE(nullptr, p);
    ASSERT_TRUE(p->Assign("shared"));
    CRefString held(*p);
    EXPECT_EQ(2, held.GetRefs());
    map.Clear();
    EXPECT_EQ(1, held.GetRefs());
    EXPECT_EQ(0, map.GetCount());
    EXPECT_FALSE(map.HasTable());
    EXPECT_EQ(0, map.GetBlockCount());
}

}  // namespace
