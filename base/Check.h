// Precondition checks. A failed check is reported as one line on standard
// error naming the check's text and where it stands; the caller then goes on
// as its contract says. A check never aborts: the library runs inside the
// host's process.
#pragma once

namespace base {

// Reports a failed check. Thread-safe.
void ReportFailedCheck(const char* pszText, const char* pszFile, int nLine);

// How many checks have failed in this process (for tests).
int FailedCheckCount();

}  // namespace base

// Evaluates to whether the condition holds, reporting it when it does not.
#define DV_CHECK(cond) \
    ((cond) ? true : (::base::ReportFailedCheck(#cond, __FILE__, __LINE__), false))
