#include <time.h>

#include "engine/linux/screen/ScreenSource.h"

namespace dvlinux {

int64_t MonotonicUs() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace dvlinux
