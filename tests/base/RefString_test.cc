#include "base/RefString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/Memory.h"

namespace {

TEST(RefStringTest, DefaultAndCopiedEmptyStringsShareTheUncountedBlock) {
    CRefString s;
    EXPECT_TRUE(s.IsSharedEmpty());
    EXPECT_EQ(CRefString::kEmptyRefs, s.GetRefs());
    {
        CRefString copy(s);
        EXPECT_TRUE(copy.IsSharedEmpty());
        EXPECT_EQ(CRefString::kEmptyRefs, s.GetRefs());
    }
    EXPECT_EQ(CRefString::kEmptyRefs, s.GetRefs());
    EXPECT_STREQ("", s.GetString());
    EXPECT_TRUE(s.Assign(""));
    EXPECT_TRUE(s.Assign(nullptr));
    EXPECT_TRUE(s.IsSharedEmpty());
}

TEST(RefStringTest, FirstAssignmentAllocatesAnExactBlock) {
    CRefString s;
    ASSERT_TRUE(s.Assign("IWMEncDeskVid"));
    EXPECT_FALSE(s.IsSharedEmpty());
    EXPECT_EQ(1, s.GetRefs());
    EXPECT_EQ(13, s.GetLength());
    EXPECT_EQ(13, s.GetCapacity());
    EXPECT_TRUE(s.Equals("IWMEncDeskVid"));
    EXPECT_FALSE(s.Equals("IWMEncDeskVi"));
    EXPECT_FALSE(s.Equals("iwmencdeskvid"));
    EXPECT_FALSE(s.Equals(nullptr));
}

TEST(RefStringTest, BlockOwnedAloneIsReusedAndNeverShrinks) {
    CRefString s;
    ASSERT_TRUE(s.Assign("IWMEncDeskVid"));
    const char* pBlock = s.GetString();
    ASSERT_TRUE(s.Assign("abcde"));
    EXPECT_EQ(pBlock, s.GetString());
    EXPECT_EQ(5, s.GetLength());
    EXPECT_EQ(13, s.GetCapacity());
    EXPECT_STREQ("abcde", s.GetString());
    ASSERT_TRUE(s.Assign(""));
    EXPECT_EQ(pBlock, s.GetString());
    EXPECT_EQ(0, s.GetLength());
    EXPECT_EQ(13, s.GetCapacity());
    // Only a longer text needs a new block.
    ASSERT_TRUE(s.Assign("fourteen chars"));
    EXPECT_EQ(14, s.GetCapacity());
    EXPECT_STREQ("fourteen chars", s.GetString());
}

TEST(RefStringTest, CopiesShareUntilOneIsWritten) {
    CRefString s;
    ASSERT_TRUE(s.Assign("IWMEncDeskVid"));
    CRefString copy(s);
    EXPECT_EQ(s.GetString(), copy.GetString());
    EXPECT_EQ(2, s.GetRefs());

    ASSERT_TRUE(s.Assign("other"));
    EXPECT_NE(s.GetString(), copy.GetString());
    EXPECT_STREQ("IWMEncDeskVid", copy.GetString());
    EXPECT_STREQ("other", s.GetString());
    EXPECT_EQ(1, copy.GetRefs());
    EXPECT_EQ(1, s.GetRefs());
}

TEST(RefStringTest, EmptyingASharedBlockDetachesWithoutAllocating) {
    CRefString s;
    ASSERT_TRUE(s.Assign("text"));
    CRefString copy(s);
    ASSERT_TRUE(s.Assign(""));
    EXPECT_TRUE(s.IsSharedEmpty());
    EXPECT_STREQ("text", copy.GetString());
    EXPECT_EQ(1, copy.GetRefs());
}

TEST(RefStringTest, AssignmentFromItsOwnSharedText) {
    CRefString s;
    ASSERT_TRUE(s.Assign("abcdef"));
    CRefString copy(s);
    ASSERT_TRUE(s.Assign(copy.GetString() + 2, 3));
    EXPECT_STREQ("cde", s.GetString());
    EXPECT_STREQ("abcdef", copy.GetString());
    // Owned alone: a text from its own block moves in place.
    ASSERT_TRUE(s.Assign(s.GetString() + 1, 2));
    EXPECT_STREQ("de", s.GetString());
}

TEST(RefStringTest, FailedAllocationLeavesTheStringEmpty) {
    CRefString s;
    ASSERT_TRUE(s.Assign("abc"));
    CRefString copy(s);
    base::FailNthAllocation(1);
    EXPECT_FALSE(s.Assign("longer text"));
    EXPECT_TRUE(s.IsSharedEmpty());
    EXPECT_EQ(0, s.GetLength());
    EXPECT_STREQ("abc", copy.GetString());
    EXPECT_EQ(1, copy.GetRefs());
    // The next allocation succeeds again.
    EXPECT_TRUE(s.Assign("longer text"));
    EXPECT_STREQ("longer text", s.GetString());
}

TEST(RefStringTest, AssignsExactlyTheGivenCharacters) {
    const char text[] = "abc\0def";
    CRefString s;
    ASSERT_TRUE(s.Assign(text, 2));
    EXPECT_EQ(2, s.GetLength());
    EXPECT_EQ(0, std::memcmp(s.GetString(), "ab", 3));
}

}  // namespace
