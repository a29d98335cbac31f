// A single-use countdown latch for ordering test threads without sleeps.
#pragma once

#include <condition_variable>
#include <mutex>

class CLatch {
public:
    explicit CLatch(int nCount) : m_nCount(nCount) {}
    void CountDown() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (--m_nCount <= 0) {
            m_cv.notify_all();
        }
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_nCount <= 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nCount;
};
