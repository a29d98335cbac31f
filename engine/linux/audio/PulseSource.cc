// The default audio input through libpulse's asynchronous API. Each source
// has its own threaded main loop; every libpulse callback runs on that loop's
// thread and only copies into a bounded queue guarded by a mutex of ours, so
// Read() waits with a deadline on our own condition (the main loop's wait has
// none) and nothing on the loop thread ever waits for the server.
#include "engine/linux/audio/PulseSource.h"

#include <pulse/pulseaudio.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "plugin/deskvid/deskvid_status.h"

namespace dvengine {
namespace {

constexpr uint32_t kRate = 48000;
constexpr uint8_t kChannels = 2;
constexpr size_t kFrameBytes = kChannels * sizeof(int16_t);
constexpr int64_t kFragmentUs = 50000;          // what the server hands over at a time
constexpr size_t kMaxQueuedFrames = 2 * kRate;  // beyond this the oldest chunks go
constexpr int64_t kSilentLimitUs = 700000;      // no sign of life this long: frozen
constexpr int64_t kFirstDataLimitUs = 3000000;  // an idle sink's monitor may take 2 s
constexpr int64_t kTickUs = 100000;             // the loop's watchdog period, pinging
constexpr int64_t kFlowTickUs = 250000;         // and while the samples flow
constexpr int64_t kLateTickUs = 200000;         // a tick this late: our process was stalled
constexpr int64_t kJumpUs = 100000;             // a chunk this much later than due: a gap
constexpr int64_t kSmoothing = 16;              // each chunk corrects 1/16 of the stamp error
constexpr int64_t kMaxSlew = 50;                // but by at most 1/50 of its length

int64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t FramesToUs(int64_t nFrames) {
    return nFrames * 1000000 / kRate;
}

struct CChunk {
    std::vector<int16_t> vSamples;
    int64_t nTimeUs = 0;
};

class CPulseSource final : public IAudioSource {
public:
    CPulseSource(const char* pszServer, bool bMonitor)
        : m_strServer(pszServer ? pszServer : ""), m_bMonitor(bMonitor) {}
    ~CPulseSource() override { Stop(); }
    CPulseSource(const CPulseSource&) = delete;
    CPulseSource& operator=(const CPulseSource&) = delete;

    HRESULT Start(int64_t nDeadlineUs) override;
    HRESULT Read(int64_t nDeadlineUs, CAudioBlock* pBlock) override;
    void Stop() override;

private:
    // Loop thread.
    static void OnContextState(pa_context* pContext, void* pv);
    static void OnStreamState(pa_stream* pStream, void* pv);
    static void OnStreamRead(pa_stream* pStream, size_t nBytes, void* pv);
    static void OnSuspended(pa_stream* pStream, void* pv);
    static void OnTick(pa_mainloop_api* pApi, pa_time_event* pEvent, const timeval* pTv, void* pv);
    static void OnPong(pa_stream* pStream, int bSuccess, void* pv);
    void OpenStream();
    void Push(const int16_t* pSamples, size_t nFrames, int64_t nMeasuredUs);
    void SetLost();

    const std::string m_strServer;
    const bool m_bMonitor;

    // Created and destroyed by Start() and Stop(); used under the loop's lock.
    pa_threaded_mainloop* m_pLoop = nullptr;
    pa_context* m_pContext = nullptr;
    pa_stream* m_pStream = nullptr;
    pa_time_event* m_pTick = nullptr;

    // The loop thread's running capture clock: the stamp of the last chunk
    // and its length, so the next chunk is due at their sum.
    bool m_bClock = false;
    int64_t m_nClockUs = 0;
    int64_t m_nClockFrames = 0;
    int64_t m_nTickDueUs = 0;
    bool m_bPingPending = false;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    // Guarded by m_mutex.
    std::deque<CChunk> m_queue;
    size_t m_nQueuedFrames = 0;
    bool m_bReady = false;
    bool m_bLost = false;
    bool m_bSuspended = false;
    bool m_bData = false;    // samples have come since the stream became ready
    int64_t m_nReadyUs = 0;  // when it did
    int64_t m_nAliveUs = 0;  // data came, or the server answered while none was due
};

HRESULT CPulseSource::Start(int64_t nDeadlineUs) {
    Stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bLost = m_bSuspended = m_bData = false;
    }
    m_bClock = m_bPingPending = false;

    m_pLoop = pa_threaded_mainloop_new();
    m_pContext =
        m_pLoop ? pa_context_new(pa_threaded_mainloop_get_api(m_pLoop), "deskvid") : nullptr;
    if (m_pContext != nullptr) {
        pa_threaded_mainloop_set_name(m_pLoop, "deskvid-pulse");
        pa_context_set_state_callback(m_pContext, OnContextState, this);
        // Never spawn a server: that would wait for it and leave it behind.
        const char* pszServer = m_strServer.empty() ? nullptr : m_strServer.c_str();
        if (pa_context_connect(m_pContext, pszServer, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0 &&
            pa_threaded_mainloop_start(m_pLoop) == 0) {
            std::unique_lock<std::mutex> lock(m_mutex);
            for (int64_t nNow = NowUs(); !m_bReady && !m_bLost && nNow < nDeadlineUs;
                 nNow = NowUs()) {
                m_cv.wait_for(lock, std::chrono::microseconds(nDeadlineUs - nNow));
            }
            if (m_bReady && !m_bLost) {
                return S_OK;
            }
        }
    }
    Stop();
    return DV_E_NO_AUDIO;
}

HRESULT CPulseSource::Read(int64_t nDeadlineUs, CAudioBlock* pBlock) {
    if (pBlock == nullptr) {
        return E_POINTER;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    // What came before a loss is still handed out; then the loss.
    for (;;) {
        if (!m_bReady) {
            return DV_E_NO_AUDIO;  // stopped, or never started
        }
        if (!m_queue.empty()) {
            break;
        }
        if (m_bLost) {
            return DV_E_NO_AUDIO;
        }
        const int64_t nNow = NowUs();
        if (nNow >= nDeadlineUs) {
            return S_FALSE;
        }
        m_cv.wait_for(lock, std::chrono::microseconds(nDeadlineUs - nNow));
    }
    // One fragment at a time, each with its own stamp: the capture clock
    // follows the server's by them.
    pBlock->nTimeUs = m_queue.front().nTimeUs;
    pBlock->vSamples.swap(m_queue.front().vSamples);
    m_nQueuedFrames -= pBlock->vSamples.size() / kChannels;
    m_queue.pop_front();
    return S_OK;
}

void CPulseSource::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bReady = false;
    }
    m_cv.notify_all();
    if (m_pLoop == nullptr) {
        return;
    }
    // Disconnecting only queues a message and closes the socket: nothing here
    // waits for the server, so a frozen one cannot hold up the loop's join.
    pa_threaded_mainloop_lock(m_pLoop);
    if (m_pTick != nullptr) {
        pa_threaded_mainloop_get_api(m_pLoop)->time_free(m_pTick);
        m_pTick = nullptr;
    }
    if (m_pStream != nullptr) {
        pa_stream_set_state_callback(m_pStream, nullptr, nullptr);
        pa_stream_disconnect(m_pStream);
        pa_stream_unref(m_pStream);
        m_pStream = nullptr;
    }
    if (m_pContext != nullptr) {
        pa_context_set_state_callback(m_pContext, nullptr, nullptr);
        pa_context_disconnect(m_pContext);
        pa_context_unref(m_pContext);
        m_pContext = nullptr;
    }
    pa_threaded_mainloop_unlock(m_pLoop);
    pa_threaded_mainloop_stop(m_pLoop);
    pa_threaded_mainloop_free(m_pLoop);
    m_pLoop = nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_nQueuedFrames = 0;
}

void CPulseSource::SetLost() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bLost = true;
    }
    m_cv.notify_all();
}

void CPulseSource::OnContextState(pa_context* pContext, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    const pa_context_state_t state = pa_context_get_state(pContext);
    if (state == PA_CONTEXT_READY) {
        pThis->OpenStream();
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        pThis->SetLost();
    }
}

void CPulseSource::OpenStream() {
    const pa_sample_spec spec = {PA_SAMPLE_S16LE, kRate, kChannels};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    m_pStream = pa_stream_new(m_pContext, m_bMonitor ? "deskvid output capture" : "deskvid capture",
                              &spec, &map);
    if (m_pStream == nullptr) {
        SetLost();
        return;
    }
    pa_stream_set_state_callback(m_pStream, OnStreamState, this);
    pa_stream_set_read_callback(m_pStream, OnStreamRead, this);
    pa_stream_set_suspended_callback(m_pStream, OnSuspended, this);
    // Small fragments keep latency low; the rest is left to the server.
    pa_buffer_attr attr;
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = UINT32_MAX;
    attr.fragsize = uint32_t(pa_usec_to_bytes(kFragmentUs, &spec));
    // Recording what is played must not keep an idle output running: a sink
    // that suspends costs nothing, and its silence is silence in the mix.
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                         PA_STREAM_AUTO_TIMING_UPDATE |
                                         (m_bMonitor ? PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND : 0));
    // The server resolves the default sink's monitor itself, as it follows
    // the default sink. A sink with nothing playing gives silence, or
    // suspends its monitor: the watchdog then waits on the server instead.
    const char* pszDevice = m_bMonitor ? "@DEFAULT_MONITOR@" : nullptr;
    if (pa_stream_connect_record(m_pStream, pszDevice, &attr, flags) < 0) {
        SetLost();
    }
}

void CPulseSource::OnStreamState(pa_stream* pStream, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    const pa_stream_state_t state = pa_stream_get_state(pStream);
    if (!PA_STREAM_IS_GOOD(state)) {
        pThis->SetLost();
    } else if (state == PA_STREAM_READY) {
        const int64_t nNow = NowUs();
        pThis->m_nTickDueUs = nNow + kTickUs;
        pThis->m_pTick =
            pa_context_rttime_new(pThis->m_pContext, pa_rtclock_now() + kTickUs, OnTick, pThis);
        {
            std::lock_guard<std::mutex> lock(pThis->m_mutex);
            pThis->m_bReady = pThis->m_pTick != nullptr;
            pThis->m_bLost = pThis->m_pTick == nullptr;
            pThis->m_bSuspended = pa_stream_is_suspended(pStream) == 1;
            pThis->m_nAliveUs = pThis->m_nReadyUs = nNow;
        }
        pThis->m_cv.notify_all();
    }
}

void CPulseSource::OnStreamRead(pa_stream* pStream, size_t, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    // The latency is the age of the oldest unread sample. It is never less
    // than what is waiting to be read lasts, which is all there is to go on
    // before the first timing update (and right after a suspended source
    // resumes, when the interpolated latency lags behind).
    const size_t nReadable = pa_stream_readable_size(pStream);
    int64_t nAgeUs = nReadable == size_t(-1) ? 0 : FramesToUs(int64_t(nReadable / kFrameBytes));
    pa_usec_t nLatency = 0;
    int bNegative = 0;
    if (pa_stream_get_latency(pStream, &nLatency, &bNegative) == 0 && !bNegative) {
        nAgeUs = std::max(nAgeUs, int64_t(nLatency));
    }
    int64_t nMeasuredUs = NowUs() - nAgeUs;
    for (;;) {
        const void* pData = nullptr;
        size_t nBytes = 0;
        if (pa_stream_peek(pStream, &pData, &nBytes) < 0) {
            pThis->SetLost();
            return;
        }
        if (nBytes == 0) {
            break;
        }
        const size_t nFrames = nBytes / kFrameBytes;
        bool bPushed = false;
        if (pData != nullptr && nFrames > 0) {
            try {
                pThis->Push(static_cast<const int16_t*>(pData), nFrames, nMeasuredUs);
                bPushed = true;
            } catch (const std::bad_alloc&) {
            }
        }
        if (!bPushed) {
            // Samples the server lost (or we had no room for): time runs on.
            pThis->m_nClockFrames += int64_t(nFrames);
        }
        nMeasuredUs += FramesToUs(int64_t(nFrames));
        pa_stream_drop(pStream);
    }
}

// Stamps a chunk on the running clock, corrected a little towards what the
// server's latency says, so stamps are continuous while the stream runs; a
// chunk much later than due starts the clock afresh (samples went missing).
// Changes nothing when it throws.
void CPulseSource::Push(const int16_t* pSamples, size_t nFrames, int64_t nMeasuredUs) {
    const int64_t nDueUs = m_nClockUs + FramesToUs(m_nClockFrames);
    const int64_t nErrorUs = nMeasuredUs - nDueUs;
    const bool bJump = !m_bClock || nErrorUs > kJumpUs;
    int64_t nTimeUs = nMeasuredUs;
    if (!bJump) {
        // At most kMaxSlew of the time passed: the stamps' rate stays within
        // a few percent of the samples' even while the latency estimate
        // settles after the start.
        const int64_t nSlewUs = FramesToUs(m_nClockFrames) / kMaxSlew;
        nTimeUs = nDueUs + std::clamp(nErrorUs / kSmoothing, -nSlewUs, nSlewUs);
    }
    CChunk chunk{std::vector<int16_t>(pSamples, pSamples + nFrames * kChannels), nTimeUs};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(chunk));
        m_nQueuedFrames += nFrames;
        m_nAliveUs = NowUs();
        m_bData = true;
        // Full: the oldest go; each chunk keeps its own stamp, so the rest
        // stay right.
        while (m_nQueuedFrames > kMaxQueuedFrames && m_queue.size() > 1) {
            m_nQueuedFrames -= m_queue.front().vSamples.size() / kChannels;
            m_queue.pop_front();
        }
    }
    m_cv.notify_all();
    m_bClock = true;
    m_nClockUs = nTimeUs;
    m_nClockFrames = int64_t(nFrames);
}

void CPulseSource::OnSuspended(pa_stream* pStream, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    std::lock_guard<std::mutex> lock(pThis->m_mutex);
    pThis->m_bSuspended = pa_stream_is_suspended(pStream) == 1;
    pThis->m_nAliveUs = NowUs();
}

// The watchdog: a stream that should be running but has shown no sign of
// life for kSilentLimitUs is lost. While no data is due (a suspended source,
// or one that has yet to deliver its first samples) the server is asked for
// timing instead and its answer counts; first samples are due in any case
// within kFirstDataLimitUs.
void CPulseSource::OnTick(pa_mainloop_api*, pa_time_event* pEvent, const timeval*, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    const int64_t nNow = NowUs();
    const bool bStalled = nNow - pThis->m_nTickDueUs > kLateTickUs;
    bool bLost = false;
    bool bPing = false;
    {
        std::lock_guard<std::mutex> lock(pThis->m_mutex);
        // Our own process stopped (a debugger, a suspended VM): the server
        // was not silent, we were not listening.
        if (bStalled) {
            pThis->m_nAliveUs = pThis->m_nReadyUs = nNow;
        }
        bPing = pThis->m_bSuspended || !pThis->m_bData;
        bLost = nNow - pThis->m_nAliveUs > kSilentLimitUs ||
                (!pThis->m_bData && !pThis->m_bSuspended &&
                 nNow - pThis->m_nReadyUs > kFirstDataLimitUs);
    }
    if (bLost) {
        pThis->SetLost();
        return;
    }
    if (bPing && !pThis->m_bPingPending) {
        pa_operation* pOp = pa_stream_update_timing_info(pThis->m_pStream, OnPong, pThis);
        if (pOp != nullptr) {
            pThis->m_bPingPending = true;
            pa_operation_unref(pOp);
        }
    }
    // While the samples flow, each of them says the server is alive: the
    // watchdog need not wake often.
    const int64_t nTickUs = bPing ? kTickUs : kFlowTickUs;
    pThis->m_nTickDueUs = nNow + nTickUs;
    pa_context_rttime_restart(pThis->m_pContext, pEvent, pa_rtclock_now() + nTickUs);
}

void CPulseSource::OnPong(pa_stream*, int bSuccess, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    pThis->m_bPingPending = false;
    if (bSuccess) {
        std::lock_guard<std::mutex> lock(pThis->m_mutex);
        if (pThis->m_bSuspended || !pThis->m_bData) {
            pThis->m_nAliveUs = NowUs();
        }
    }
}

}  // namespace

std::unique_ptr<IAudioSource> CreatePulseSource(const char* pszServer, bool bMonitor) {
    return std::make_unique<CPulseSource>(pszServer, bMonitor);
}

}  // namespace dvengine
