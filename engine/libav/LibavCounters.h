// Process-wide frame counters behind LibavEngineCounters().
#pragma once

#include <cstdint>

namespace libav {

void CountCaptured();
void CountWritten();
void CountDropped();
void CountAudio(int64_t nSamples);
void CountSession();

}  // namespace libav
