#include "base/Check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

TEST(CheckTest, FailureIsReportedOnOneLineAndCounted) {
    int nBefore = base::FailedCheckCount();
    int* lpNothing = nullptr;
    testing::internal::CaptureStderr();
    bool bHeld = DV_CHECK(lpNothing);
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(bHeld);
    EXPECT_EQ(nBefore + 1, base::FailedCheckCount());
    EXPECT_NE(std::string::npos, report.find("lpNothing"));
    EXPECT_NE(std::string::npos, report.find("Check_test.cc:"));
    EXPECT_EQ(1, std::count(report.begin(), report.end(), '\n'));
    EXPECT_EQ('\n', report.back());
}

TEST(CheckTest, HoldingCheckIsSilent) {
    int nBefore = base::FailedCheckCount();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(DV_CHECK(1 + 1 == 2));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(nBefore, base::FailedCheckCount());
}

}  // namespace
