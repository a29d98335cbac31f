#include "base/Locker.h"

#include "base/Check.h"

CLocker::CLocker(const char* /*pszName*/) {}

CLocker::~CLocker() = default;

CAutoLock::CAutoLock(CLocker* lck) : m_pLocker(lck) {
    if (DV_CHECK(lck)) {
        m_pLocker->Lock();
    }
}

CAutoLock::~CAutoLock() {
    if (m_pLocker != nullptr) {
        m_pLocker->Unlock();
    }
}
