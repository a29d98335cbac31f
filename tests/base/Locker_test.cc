#include "base/Locker.h"

#include <gtest/gtest.h>

#include <string>

#include "base/Check.h"

namespace {

TEST(LockerTest, NullGuardIsReportedAndTouchesNothing) {
    int nBefore = base::FailedCheckCount();
    testing::internal::CaptureStderr();
    { CAutoLock guard(nullptr); }
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(nBefore + 1, base::FailedCheckCount());
    EXPECT_NE(std::string::npos, report.find("check failed: lck "));
}

TEST(LockerTest, NamedLockerWorksLikeAnyOther) {
    CLocker locker("g_mapInstance");
    CAutoLock outer(&locker);
    CAutoLock inner(&locker);  // recursive: the owner may take it again
}

}  // namespace
