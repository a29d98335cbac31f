// CLocker: a recursive lock meant as a base class, so that a shared object
// can be its own lock. CAutoLock holds one for the lifetime of a scope.
#pragma once

#include "port/port.h"

class CLocker {
public:
    CLocker() = default;
    // The name is accepted for the reader's sake and not kept.
    explicit CLocker(const char* pszName);
    virtual ~CLocker();
    CLocker(const CLocker&) = delete;
    CLocker& operator=(const CLocker&) = delete;

    // Blocks until acquired; the owning thread may acquire it again, and
    // each acquisition needs its own Unlock.
    void Lock() { m_cs.Lock(); }
    // Only the owning thread may release.
    void Unlock() { m_cs.Unlock(); }

private:
    port::RecursiveMutex m_cs;
};

class CAutoLock {
public:
    // A null lock is reported and then neither locked nor unlocked.
    explicit CAutoLock(CLocker* lck);
    ~CAutoLock();
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CLocker* m_pLocker;
};
