// A small bounded queue between two of a session's threads. The producer
// either waits for room or, where falling behind must not stall capture,
// gives up at once; Close() wakes the consumer once the queue is empty.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace dvengine {

template <class T>
class CBoundedQueue {
public:
    explicit CBoundedQueue(size_t nCapacity) : m_nCapacity(nCapacity) {}
    CBoundedQueue(const CBoundedQueue&) = delete;
    CBoundedQueue& operator=(const CBoundedQueue&) = delete;

    // False when the queue is full or closed; the item is not taken.
    bool TryPush(T item) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bClosed || m_items.size() >= m_nCapacity) {
            return false;
        }
        m_items.push_back(std::move(item));
        m_cvItem.notify_one();
        return true;
    }

    // Waits for room; false when the queue is closed (the item is not taken).
    bool Push(T item) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cvRoom.wait(lock, [this] { return m_bClosed || m_items.size() < m_nCapacity; });
        if (m_bClosed) {
            return false;
        }
        m_items.push_back(std::move(item));
        m_cvItem.notify_one();
        return true;
    }

    // Waits for an item; false once the queue is closed and empty.
    bool Pop(T* pItem) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cvItem.wait(lock, [this] { return m_bClosed || !m_items.empty(); });
        if (m_items.empty()) {
            return false;
        }
        *pItem = std::move(m_items.front());
        m_items.pop_front();
        m_cvRoom.notify_one();
        return true;
    }

    // No more pushes; what is queued can still be popped.
    void Close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bClosed = true;
        m_cvItem.notify_all();
        m_cvRoom.notify_all();
    }

    size_t Size() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items.size();
    }

private:
    const size_t m_nCapacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_cvItem;
    std::condition_variable m_cvRoom;
    std::deque<T> m_items;
    bool m_bClosed = false;
};

}  // namespace dvengine
