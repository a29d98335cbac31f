// The capture clock every picture and audio block is stamped on: a monotonic
// clock in microseconds, provided by each platform.
#pragma once

#include <cstdint>

namespace dvengine {

// Microseconds on the platform's monotonic clock (CLOCK_MONOTONIC,
// QueryPerformanceCounter).
int64_t MonotonicUs();

// Sleeps until MonotonicUs() reaches nUs; returns at once when it has.
void SleepUntil(int64_t nUs);

}  // namespace dvengine
