#include "base/Check.h"

#include <atomic>
#include <cstdio>

namespace base {

namespace {
std::atomic<int> g_nFailedChecks{0};
}  // namespace

void ReportFailedCheck(const char* pszText, const char* pszFile, int nLine) {
    g_nFailedChecks.fetch_add(1, std::memory_order_relaxed);
    // One call, so that reports from several threads do not interleave.
    std::fprintf(stderr, "deskvid: check failed: %s (%s:%d)\n", pszText, pszFile, nLine);
    std::fflush(stderr);
}

int FailedCheckCount() {
    return g_nFailedChecks.load(std::memory_order_relaxed);
}

}  // namespace base
