#include "base/Memory.h"

#include <atomic>
#include <cstdlib>

namespace base {

namespace {
// Allocations left before the injected failure; 0: none pending.
std::atomic<int> g_nFailCountdown{0};

}  // namespace

bool AllocationFails() {
    int n = g_nFailCountdown.load(std::memory_order_relaxed);
    while (n > 0) {
        if (g_nFailCountdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
            return n == 1;
        }
    }
    return false;
}

void* Allocate(size_t cb) {
    if (AllocationFails()) {
        return nullptr;
    }
    return std::malloc(cb);
}

void Free(void* p) {
    std::free(p);
}

void FailNthAllocation(int n) {
    g_nFailCountdown.store(n > 0 ? n : 0, std::memory_order_relaxed);
}

}  // namespace base
