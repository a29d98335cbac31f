#include "engine/libav/LibavCounters.h"

#include <atomic>

#include "engine/libav/LibavEngine.h"
#include "engine/libav/LibavLog.h"

namespace libav {
namespace {

std::atomic<int64_t> g_nCaptured{0};
std::atomic<int64_t> g_nWritten{0};
std::atomic<int64_t> g_nDropped{0};
std::atomic<int64_t> g_nAudio{0};
std::atomic<int64_t> g_nSessions{0};

}  // namespace

void CountCaptured() {
    g_nCaptured.fetch_add(1, std::memory_order_relaxed);
}
void CountWritten() {
    g_nWritten.fetch_add(1, std::memory_order_relaxed);
}
void CountDropped() {
    g_nDropped.fetch_add(1, std::memory_order_relaxed);
}
void CountAudio(int64_t nSamples) {
    g_nAudio.fetch_add(nSamples, std::memory_order_relaxed);
}
void CountSession() {
    g_nSessions.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace libav

LIBAV_ENGINE_COUNTERS LibavEngineCounters() {
    LIBAV_ENGINE_COUNTERS c;
    c.nFramesCaptured = libav::g_nCaptured.load();
    c.nFramesWritten = libav::g_nWritten.load();
    c.nFramesDropped = libav::g_nDropped.load();
    c.nAudioSamples = libav::g_nAudio.load();
    c.nSessions = libav::g_nSessions.load();
    return c;
}

std::string LibavEngineLastError() {
    return libav::LastError();
}
