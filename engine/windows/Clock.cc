#include "engine/core/Clock.h"

#include <windows.h>

namespace dvengine {
namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

int64_t Frequency() {
    static const int64_t s_nFrequency = [] {
        LARGE_INTEGER li;
        QueryPerformanceFrequency(&li);
        return static_cast<int64_t>(li.QuadPart);
    }();
    return s_nFrequency;
}

// The system's default timer resolution (15.6 ms) would make a wait for the
// next 50 ms slot late by up to a third of a slot. Each waiting thread gets a
// high-resolution waitable timer of its own; where the system has none, the
// resolution is raised to 1 ms for the length of each wait only.
class CWaitTimer {
public:
    CWaitTimer() {
        m_hTimer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
        if (m_hTimer == nullptr) {
            // winmm is loaded only where it is needed; it stays loaded.
            HMODULE hWinmm = LoadLibraryW(L"winmm.dll");
            if (hWinmm != nullptr) {
                m_pfnBegin = reinterpret_cast<PFNPERIOD>(
                    reinterpret_cast<void*>(GetProcAddress(hWinmm, "timeBeginPeriod")));
                m_pfnEnd = reinterpret_cast<PFNPERIOD>(
                    reinterpret_cast<void*>(GetProcAddress(hWinmm, "timeEndPeriod")));
            }
        }
    }
    ~CWaitTimer() {
        if (m_hTimer != nullptr) {
            CloseHandle(m_hTimer);
        }
    }
    CWaitTimer(const CWaitTimer&) = delete;
    CWaitTimer& operator=(const CWaitTimer&) = delete;

    void Wait(int64_t nUs) {
        if (m_hTimer != nullptr) {
            LARGE_INTEGER liDue;
            liDue.QuadPart = -nUs * 10;  // relative, in 100 ns units
            if (SetWaitableTimer(m_hTimer, &liDue, 0, nullptr, nullptr, FALSE) &&
                WaitForSingleObject(m_hTimer, INFINITE) == WAIT_OBJECT_0) {
                return;
            }
        }
        const bool bRaised = m_pfnBegin != nullptr && m_pfnEnd != nullptr && m_pfnBegin(1) == 0;
        Sleep(static_cast<DWORD>((nUs + 999) / 1000));
        if (bRaised) {
            m_pfnEnd(1);
        }
    }

private:
    typedef UINT(WINAPI* PFNPERIOD)(UINT);
    HANDLE m_hTimer = nullptr;
    PFNPERIOD m_pfnBegin = nullptr;
    PFNPERIOD m_pfnEnd = nullptr;
};

}  // namespace

int64_t MonotonicUs() {
    LARGE_INTEGER li;
    QueryPerformanceCounter(&li);
    const int64_t nFrequency = Frequency();
    const int64_t nTicks = static_cast<int64_t>(li.QuadPart);
    // Split so that the product cannot overflow however long the uptime.
    return nTicks / nFrequency * 1000000 + nTicks % nFrequency * 1000000 / nFrequency;
}

void SleepUntil(int64_t nUs) {
    const int64_t nNow = MonotonicUs();
    if (nUs <= nNow) {
        return;
    }
    static thread_local CWaitTimer s_timer;
    s_timer.Wait(nUs - nNow);
}

}  // namespace dvengine
