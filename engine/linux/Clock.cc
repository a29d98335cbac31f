#include "engine/core/Clock.h"

#include <time.h>

#include <chrono>
#include <thread>

namespace dvengine {

int64_t MonotonicUs() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void SleepUntil(int64_t nUs) {
    const int64_t nNow = MonotonicUs();
    if (nUs > nNow) {
        std::this_thread::sleep_for(std::chrono::microseconds(nUs - nNow));
    }
}

}  // namespace dvengine
