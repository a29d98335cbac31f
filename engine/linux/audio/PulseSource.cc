// The default audio input, or the default output's monitor, through libpulse's
// asynchronous API. Each source has its own threaded main loop; every libpulse
// callback runs on that loop's thread and only copies into a bounded queue
// guarded by a mutex of ours, so Read() waits with a deadline on our own
// condition (the main loop's wait has none) and nothing on the loop thread
// ever waits for the server.
//
// A server that stops answering only makes a gap: the samples flow again when
// it answers. A server that goes away (killed, restarted) is connected to
// again, with a new context, every kRetryUs for as long as the source runs;
// so is a stream whose device failed. The recording follows the server's
// default device (or the default output, for its monitor) when the user
// changes it.
#include "engine/linux/audio/PulseSource.h"

#include <pulse/pulseaudio.h>
#include <stdlib.h>
#include <string.h>
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
constexpr int64_t kTickUs = 100000;             // the loop's own timer
constexpr int64_t kRetryUs = 300000;            // a lost server or device is tried this often
constexpr int64_t kTimingWaitUs = 250000;       // samples wait this long for the server's timing
constexpr int64_t kTimingEveryUs = 100000;      // which is asked for this often while they flow
constexpr int64_t kStaleUs = 1000000;           // an answer this old says nothing of a gap since
constexpr size_t kOrigins = 9;                  // answers whose median places the samples

int64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t FramesToUs(int64_t nFrames) {
    return nFrames * 1000000 / kRate;
}

class CPulseSource final : public IAudioSource {
public:
    CPulseSource(const char* pszServer, bool bMonitor)
        : m_strServer(pszServer ? pszServer : ""),
          m_bMonitor(bMonitor),
          // A device the user named for this program is kept; otherwise the
          // server's default is followed.
          m_bFollow(bMonitor || getenv("PULSE_SOURCE") == nullptr) {}
    ~CPulseSource() override { Stop(); }
    CPulseSource(const CPulseSource&) = delete;
    CPulseSource& operator=(const CPulseSource&) = delete;

    HRESULT Start(int64_t nDeadlineUs) override;
    HRESULT Read(int64_t nDeadlineUs, CAudioBlock* pBlock) override;
    void Stop() override;

private:
    // Loop thread, under the loop's lock.
    static void OnContextState(pa_context* pContext, void* pv);
    static void OnServerEvent(pa_context* pContext, pa_subscription_event_type_t type, uint32_t,
                              void* pv);
    static void OnServerInfo(pa_context* pContext, const pa_server_info* pInfo, void* pv);
    static void OnSinkInfo(pa_context* pContext, const pa_sink_info* pInfo, int nEol, void* pv);
    static void OnStreamState(pa_stream* pStream, void* pv);
    static void OnStreamRead(pa_stream* pStream, size_t nBytes, void* pv);
    static void OnStreamMoved(pa_stream* pStream, void* pv);
    static void OnSuspended(pa_stream* pStream, void* pv);
    static void OnTimed(pa_stream* pStream, int bSuccess, void* pv);
    static void OnTick(pa_mainloop_api* pApi, pa_time_event* pEvent, const timeval* pTv, void* pv);
    bool Connect();
    void Follow(const char* pszDevice);
    void OpenStream(const char* pszDevice);
    void CloseStream();
    void CloseContext();
    void Reanchor();
    void AskTiming();
    void Drain();
    void Push(const int16_t* pSamples, size_t nFrames, int64_t nTimeUs, bool bPlayout);
    void Fail();

    const std::string m_strServer;
    const bool m_bMonitor;
    const bool m_bFollow;

    // Created and destroyed by Start() and Stop(); used under the loop's lock.
    // Between the two there is always a context (the timer is restarted
    // through it): a new one is made before the old one goes.
    pa_threaded_mainloop* m_pLoop = nullptr;
    pa_context* m_pContext = nullptr;
    pa_stream* m_pStream = nullptr;
    pa_time_event* m_pTick = nullptr;

    // Loop thread.
    bool m_bBroken = false;  // the context or the stream failed: made again
    int64_t m_nRetryUs = 0;  // at this time
    // The server's latest timing since the stream was (re)placed: the byte at
    // m_nAnchorIndex of the stream is captured (for an output's monitor:
    // played) at m_nAnchorUs. Its answers come in the order of the questions.
    bool m_bTimed = false;
    int64_t m_nTimedUs = 0;  // when the latest answer came
    int64_t m_nAnchorIndex = 0;
    int64_t m_nAnchorUs = 0;
    std::deque<int64_t> m_origins;  // the latest answers' stream origins
    bool m_bPlayout = false;        // the anchor is a sink's playout, ahead of its mixing
    int64_t m_nAsked = 0;           // timing questions asked on this stream
    int64_t m_nAnswered = 0;        // and answered
    int64_t m_nValidFrom = 0;       // the first whose answer describes its current place
    int64_t m_nAskedUs = 0;         // when the last was asked
    int64_t m_nWaitingUs = 0;       // since when samples wait for the first answer, or 0
    std::string m_strDefault;       // the server's default device, as last seen
    bool m_bDefaultMoved = false;   // it changed: the stream is to follow

    std::mutex m_mutex;
    std::condition_variable m_cv;
    // Guarded by m_mutex.
    std::deque<CAudioBlock> m_queue;
    size_t m_nQueuedFrames = 0;
    bool m_bOpen = false;              // between a successful Start() and Stop()
    bool m_bReady = false;             // a stream has been ready since the start
    bool m_bGone = false;              // no server, or the stream failed: not yet back
    int64_t m_nCoveredUs = INT64_MAX;  // the monitor's samples are all there from this time
};

HRESULT CPulseSource::Start(int64_t nDeadlineUs) {
    Stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bReady = m_bGone = false;
        m_nCoveredUs = INT64_MAX;
    }
    m_bBroken = m_bDefaultMoved = false;
    m_strDefault.clear();

    m_pLoop = pa_threaded_mainloop_new();
    if (m_pLoop != nullptr) {
        pa_threaded_mainloop_set_name(m_pLoop, "deskvid-pulse");
        pa_threaded_mainloop_lock(m_pLoop);
        const bool bConnecting = Connect();
        m_pTick = m_pContext
                      ? pa_context_rttime_new(m_pContext, pa_rtclock_now() + kTickUs, OnTick, this)
                      : nullptr;
        pa_threaded_mainloop_unlock(m_pLoop);
        if (bConnecting && m_pTick != nullptr && pa_threaded_mainloop_start(m_pLoop) == 0) {
            std::unique_lock<std::mutex> lock(m_mutex);
            // Until a stream is ready; the output's monitor, until the
            // samples it hands over reach the present (what plays now was
            // mixed before the stream was there: only what is mixed after
            // reaches it).
            for (int64_t nNow = NowUs(); !m_bGone && nNow < nDeadlineUs; nNow = NowUs()) {
                if (m_bReady && (!m_bMonitor || m_nCoveredUs <= nNow)) {
                    break;
                }
                const int64_t nUntil = std::min(nDeadlineUs, m_bReady ? m_nCoveredUs : INT64_MAX);
                m_cv.wait_for(lock, std::chrono::microseconds(nUntil - nNow));
            }
            if (m_bReady && !m_bGone) {
                m_bOpen = true;
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
    for (;;) {
        if (!m_bOpen) {
            return DV_E_NO_AUDIO;  // stopped, or never started
        }
        if (!m_queue.empty()) {
            break;
        }
        const int64_t nNow = NowUs();
        if (nNow >= nDeadlineUs) {
            // What came before a loss is handed out first; the loss lasts
            // until the server or the device is back.
            return m_bGone ? DV_E_NO_AUDIO : S_FALSE;
        }
        m_cv.wait_for(lock, std::chrono::microseconds(nDeadlineUs - nNow));
    }
    // One fragment at a time, each with its own stamp.
    *pBlock = std::move(m_queue.front());
    m_nQueuedFrames -= pBlock->vSamples.size() / kChannels;
    m_queue.pop_front();
    return S_OK;
}

void CPulseSource::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bOpen = false;
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
    CloseContext();
    pa_threaded_mainloop_unlock(m_pLoop);
    pa_threaded_mainloop_stop(m_pLoop);
    pa_threaded_mainloop_free(m_pLoop);
    m_pLoop = nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_nQueuedFrames = 0;
}

// Lets go of the stream and the context, if any; nothing waits for the
// server.
void CPulseSource::CloseContext() {
    CloseStream();
    if (m_pContext != nullptr) {
        pa_context_set_state_callback(m_pContext, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_pContext, nullptr, nullptr);
        pa_context_disconnect(m_pContext);
        pa_context_unref(m_pContext);
        m_pContext = nullptr;
    }
}

// A new context in place of the one there (if any), connecting. False when
// it cannot even begin; the old context then stays, for the timer.
bool CPulseSource::Connect() {
    pa_context* pContext = pa_context_new(pa_threaded_mainloop_get_api(m_pLoop), "deskvid");
    if (pContext == nullptr) {
        return false;
    }
    CloseContext();
    m_pContext = pContext;
    pa_context_set_state_callback(pContext, OnContextState, this);
    pa_context_set_subscribe_callback(pContext, OnServerEvent, this);
    // Never spawn a server: that would wait for it and leave it behind.
    // Connecting may take long (a server that is stopped): it is waited for,
    // and only a failure tries again.
    m_bBroken = false;
    const char* pszServer = m_strServer.empty() ? nullptr : m_strServer.c_str();
    if (pa_context_connect(pContext, pszServer, PA_CONTEXT_NOAUTOSPAWN, nullptr) != 0) {
        Fail();
        return false;
    }
    return true;
}

// The device is gone (or was never there): until the next try, reads say so.
void CPulseSource::Fail() {
    if (!m_bBroken) {
        m_bBroken = true;
        m_nRetryUs = NowUs() + kRetryUs;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bGone = true;
    }
    m_cv.notify_all();
}

void CPulseSource::OnContextState(pa_context* pContext, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    if (pContext != pThis->m_pContext) {
        return;
    }
    const pa_context_state_t state = pa_context_get_state(pContext);
    if (state == PA_CONTEXT_READY) {
        // The server's changes of default device, then the default itself.
        pa_operation* pOp =
            pa_context_subscribe(pContext, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr);
        if (pOp != nullptr) {
            pa_operation_unref(pOp);
        }
        pOp = pa_context_get_server_info(pContext, OnServerInfo, pThis);
        if (pOp != nullptr) {
            pa_operation_unref(pOp);
        } else {
            pThis->Fail();
        }
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        // Torn down by the timer: not inside the context's own callback.
        pThis->Fail();
    }
}

void CPulseSource::OnServerEvent(pa_context* pContext, pa_subscription_event_type_t type, uint32_t,
                                 void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    if (pContext != pThis->m_pContext ||
        (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) {
        return;
    }
    pa_operation* pOp = pa_context_get_server_info(pContext, OnServerInfo, pThis);
    if (pOp != nullptr) {
        pa_operation_unref(pOp);
    }
}

void CPulseSource::OnServerInfo(pa_context* pContext, const pa_server_info* pInfo, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    if (pContext != pThis->m_pContext) {
        return;
    }
    const char* pszDefault = nullptr;
    if (pInfo != nullptr) {
        pszDefault = pThis->m_bMonitor ? pInfo->default_sink_name : pInfo->default_source_name;
    }
    const char* pszKnown = pszDefault ? pszDefault : "";
    if (pThis->m_strDefault != pszKnown) {
        pThis->m_bDefaultMoved = pThis->m_bDefaultMoved || !pThis->m_strDefault.empty();
        try {
            pThis->m_strDefault = pszKnown;
        } catch (const std::bad_alloc&) {
            pThis->m_strDefault.clear();  // seen as new the next time
        }
    }
    if (!pThis->m_bMonitor) {
        // The input stream names no device, so the server places it on its
        // default (or on PULSE_SOURCE's) and may move it as the default moves.
        pThis->Follow(pszDefault);
        return;
    }
    // The monitor is the default sink's, named: the server has no default
    // for it that it would follow.
    pa_operation* pOp = nullptr;
    if (pszDefault != nullptr) {
        pOp = pa_context_get_sink_info_by_name(pContext, pszDefault, OnSinkInfo, pThis);
    }
    if (pOp != nullptr) {
        pa_operation_unref(pOp);
    } else if (pThis->m_pStream == nullptr) {
        pThis->Fail();  // no output at all, for now
    }
}

void CPulseSource::OnSinkInfo(pa_context* pContext, const pa_sink_info* pInfo, int nEol, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    if (pContext != pThis->m_pContext) {
        return;
    }
    if (pInfo != nullptr && pInfo->monitor_source_name != nullptr) {
        pThis->Follow(pInfo->monitor_source_name);
    } else if (nEol < 0 && pThis->m_pStream == nullptr) {
        pThis->Fail();  // the sink went before its monitor could be named
    }
}

// The stream opens on pszDevice (the default input's, or the monitor's name)
// when there is none; one there moves with the default when the default
// changed and the server did not move it already.
void CPulseSource::Follow(const char* pszDevice) {
    if (m_pStream == nullptr) {
        OpenStream(m_bMonitor ? pszDevice : nullptr);
        return;
    }
    // A stream still being created cannot be taken back: it follows once
    // it is ready.
    if (!m_bDefaultMoved || !m_bFollow || pszDevice == nullptr ||
        pa_stream_get_state(m_pStream) != PA_STREAM_READY) {
        return;
    }
    m_bDefaultMoved = false;
    const char* pszNow = pa_stream_get_device_name(m_pStream);
    if (pszNow == nullptr || strcmp(pszNow, pszDevice) != 0) {
        CloseStream();
        OpenStream(m_bMonitor ? pszDevice : nullptr);
    }
}

void CPulseSource::OpenStream(const char* pszDevice) {
    m_bBroken = m_bDefaultMoved = false;
    const pa_sample_spec spec = {PA_SAMPLE_S16LE, kRate, kChannels};
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    m_pStream = pa_stream_new(m_pContext, m_bMonitor ? "deskvid output capture" : "deskvid capture",
                              &spec, &map);
    if (m_pStream == nullptr) {
        Fail();
        return;
    }
    pa_stream_set_state_callback(m_pStream, OnStreamState, this);
    pa_stream_set_read_callback(m_pStream, OnStreamRead, this);
    pa_stream_set_suspended_callback(m_pStream, OnSuspended, this);
    pa_stream_set_moved_callback(m_pStream, OnStreamMoved, this);
    // Small fragments keep latency low; the rest is left to the server.
    pa_buffer_attr attr;
    attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = UINT32_MAX;
    attr.fragsize = uint32_t(pa_usec_to_bytes(kFragmentUs, &spec));
    // Recording what is played must not keep an idle output running: a sink
    // that suspends costs nothing, and its silence is silence in the mix.
    // The timing is asked for by the source itself, as the samples come.
    const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY |
                                         (m_bMonitor ? PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND : 0));
    if (pa_stream_connect_record(m_pStream, pszDevice, &attr, flags) < 0) {
        Fail();
    }
}

void CPulseSource::CloseStream() {
    if (m_pStream == nullptr) {
        return;
    }
    pa_stream_set_state_callback(m_pStream, nullptr, nullptr);
    pa_stream_set_read_callback(m_pStream, nullptr, nullptr);
    pa_stream_set_suspended_callback(m_pStream, nullptr, nullptr);
    pa_stream_set_moved_callback(m_pStream, nullptr, nullptr);
    if (pa_stream_get_state(m_pStream) == PA_STREAM_READY ||
        pa_stream_get_state(m_pStream) == PA_STREAM_CREATING) {
        pa_stream_disconnect(m_pStream);
    }
    pa_stream_unref(m_pStream);
    m_pStream = nullptr;
    // Its pending questions went with it.
    m_bTimed = false;
    m_origins.clear();
    m_nAsked = m_nAnswered = m_nValidFrom = m_nAskedUs = m_nWaitingUs = 0;
}

void CPulseSource::OnStreamState(pa_stream* pStream, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    if (pStream != pThis->m_pStream) {
        return;
    }
    const pa_stream_state_t state = pa_stream_get_state(pStream);
    if (!PA_STREAM_IS_GOOD(state)) {
        pThis->Fail();
    } else if (state == PA_STREAM_READY) {
        pThis->Reanchor();
        if (pThis->m_bDefaultMoved) {
            pa_operation* pOp = pa_context_get_server_info(pThis->m_pContext, OnServerInfo, pThis);
            if (pOp != nullptr) {
                pa_operation_unref(pOp);
            }
        }
        const bool bSuspended = pa_stream_is_suspended(pStream) == 1;
        {
            std::lock_guard<std::mutex> lock(pThis->m_mutex);
            pThis->m_bReady = true;
            pThis->m_bGone = false;
            if (bSuspended) {
                // Nothing plays: nothing was missed.
                pThis->m_nCoveredUs = std::min(pThis->m_nCoveredUs, NowUs());
            }
        }
        pThis->m_cv.notify_all();
    }
}

// The stream's place changed (a start, another device, a source resumed):
// the timing known describes the old one. Until the server's answer to a
// question asked from now on, the samples wait.
void CPulseSource::Reanchor() {
    m_bTimed = false;
    m_origins.clear();
    m_nWaitingUs = 0;
    m_nValidFrom = m_nAsked;
    m_nAskedUs = 0;
    AskTiming();
}

void CPulseSource::AskTiming() {
    const int64_t nNow = NowUs();
    if (m_nAnswered < m_nAsked && m_nAskedUs != 0) {
        return;  // one at a time, but a new place asks anew
    }
    pa_operation* pOp = pa_stream_update_timing_info(m_pStream, OnTimed, this);
    if (pOp != nullptr) {
        pa_operation_unref(pOp);
        ++m_nAsked;
        m_nAskedUs = nNow;
    }
}

// The answer says where the stream's write index stood when the server
// measured: its last byte was captured the source's latency before, and (for
// a sink's monitor) is played the sink's latency after it was mixed.
void CPulseSource::OnTimed(pa_stream* pStream, int bSuccess, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    if (pStream != pThis->m_pStream) {
        return;
    }
    const bool bCurrent = pThis->m_nAnswered++ >= pThis->m_nValidFrom;
    const pa_timing_info* pInfo = bSuccess ? pa_stream_get_timing_info(pStream) : nullptr;
    if (bCurrent && pInfo != nullptr && !pInfo->write_index_corrupt) {
        // Each answer says when the stream's first byte was captured; the
        // answers scatter (a sink's latency moves with where it is in its
        // mixing), so the median of the last few places the samples.
        const int64_t nWriteUs = FramesToUs(pInfo->write_index / int64_t(kFrameBytes));
        const int64_t nAnswerUs = NowUs() - int64_t(pInfo->transport_usec) -
                                  int64_t(pInfo->source_usec) + int64_t(pInfo->sink_usec);
        std::deque<int64_t>& origins = pThis->m_origins;
        if (NowUs() - pThis->m_nTimedUs > kStaleUs) {
            origins.clear();  // a stall since: samples may have gone missing
        }
        origins.push_back(nAnswerUs - nWriteUs);
        if (origins.size() > kOrigins) {
            origins.pop_front();
        }
        // Until there are a few, the latest (a new stream's latency settles).
        int64_t nOriginUs = origins.back();
        if (origins.size() >= kOrigins / 2 + 1) {
            std::vector<int64_t> vSorted(origins.begin(), origins.end());
            std::nth_element(vSorted.begin(), vSorted.begin() + vSorted.size() / 2, vSorted.end());
            nOriginUs = vSorted[vSorted.size() / 2];
        }
        pThis->m_nAnchorIndex = pInfo->write_index;
        pThis->m_nAnchorUs = nOriginUs + nWriteUs;
        pThis->m_bPlayout = pInfo->sink_usec > 0;
        pThis->m_bTimed = true;
        pThis->m_nTimedUs = NowUs();
    }
    pThis->Drain();
}

void CPulseSource::OnStreamMoved(pa_stream* pStream, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    if (pStream == pThis->m_pStream) {
        pThis->Reanchor();
    }
}

void CPulseSource::OnSuspended(pa_stream* pStream, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    if (pStream != pThis->m_pStream) {
        return;
    }
    const bool bSuspended = pa_stream_is_suspended(pStream) == 1;
    if (bSuspended) {
        {
            std::lock_guard<std::mutex> lock(pThis->m_mutex);
            pThis->m_nCoveredUs = std::min(pThis->m_nCoveredUs, NowUs());
        }
        pThis->m_cv.notify_all();
    } else {
        // Its timing was not kept while it slept.
        pThis->Reanchor();
    }
}

void CPulseSource::OnStreamRead(pa_stream* pStream, size_t, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    if (pStream == pThis->m_pStream) {
        pThis->Drain();
    }
}

// Hands over everything readable, each fragment stamped with when its first
// sample was captured (for a sink's monitor: when it is played): the server's
// latest timing, carried to the read index by the samples between. Until its
// first answer (kTimingWaitUs at most) the readable amount bounds the age of
// the oldest; for a source that is captured rather than mixed, it bounds it in
// any case.
void CPulseSource::Drain() {
    pa_stream* pStream = m_pStream;
    const size_t nReadable = pa_stream_readable_size(pStream);
    if (nReadable == 0 || nReadable == size_t(-1)) {
        return;
    }
    const int64_t nNow = NowUs();
    if (nNow - m_nAskedUs >= kTimingEveryUs) {
        AskTiming();
    }
    const pa_timing_info* pInfo = pa_stream_get_timing_info(pStream);
    // After a stall the samples that come may not follow those before (a
    // device's overrun): only an answer from after it places them.
    const bool bTimed =
        m_bTimed && nNow - m_nTimedUs < kStaleUs && pInfo != nullptr && !pInfo->read_index_corrupt;
    if (!bTimed) {
        m_nWaitingUs = m_nWaitingUs != 0 ? m_nWaitingUs : nNow;
        if (nNow - m_nWaitingUs < kTimingWaitUs) {
            return;  // the answer, or the timer, drains them
        }
    }
    m_nWaitingUs = 0;
    const int64_t nBoundUs = nNow - FramesToUs(int64_t(nReadable / kFrameBytes));
    int64_t nTimeUs = nBoundUs;
    if (bTimed) {
        nTimeUs = m_nAnchorUs -
                  FramesToUs((m_nAnchorIndex - int64_t(pInfo->read_index)) / int64_t(kFrameBytes));
        nTimeUs = m_bPlayout ? nTimeUs : std::min(nTimeUs, nBoundUs);
    }
    for (;;) {
        const void* pData = nullptr;
        size_t nBytes = 0;
        if (pa_stream_peek(pStream, &pData, &nBytes) < 0) {
            Fail();
            return;
        }
        if (nBytes == 0) {
            break;
        }
        const size_t nFrames = nBytes / kFrameBytes;
        // A hole (samples the server lost) only moves the stamps on.
        if (pData != nullptr && nFrames > 0) {
            Push(static_cast<const int16_t*>(pData), nFrames, nTimeUs, bTimed && m_bPlayout);
        }
        nTimeUs += FramesToUs(int64_t(nFrames));
        pa_stream_drop(pStream);
    }
}

// Queues a fragment. Memory short: that fragment is lost, and its stamp's
// absence says so; the next ones are stamped on their own.
void CPulseSource::Push(const int16_t* pSamples, size_t nFrames, int64_t nTimeUs, bool bPlayout) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        try {
            CAudioBlock block;
            block.vSamples.assign(pSamples, pSamples + nFrames * kChannels);
            block.nTimeUs = nTimeUs;
            block.bPlayout = bPlayout;
            m_queue.push_back(std::move(block));
        } catch (const std::bad_alloc&) {
            return;
        }
        m_nQueuedFrames += nFrames;
        m_nCoveredUs = std::min(m_nCoveredUs, nTimeUs);
        // Full: the oldest go; each chunk keeps its own stamp, so the rest
        // stay right.
        while (m_nQueuedFrames > kMaxQueuedFrames && m_queue.size() > 1) {
            m_nQueuedFrames -= m_queue.front().vSamples.size() / kChannels;
            m_queue.pop_front();
        }
    }
    m_cv.notify_all();
}

// Tries again what failed, once kRetryUs has passed: the stream on a
// context that is still there, else a new context; and hands over samples
// that waited their time for the server's timing.
void CPulseSource::OnTick(pa_mainloop_api*, pa_time_event* pEvent, const timeval*, void* pv) {
    auto* pThis = static_cast<CPulseSource*>(pv);
    if (pThis->m_bBroken && NowUs() >= pThis->m_nRetryUs) {
        pThis->m_nRetryUs = NowUs() + kRetryUs;
        if (pa_context_get_state(pThis->m_pContext) == PA_CONTEXT_READY) {
            pThis->CloseStream();
            pa_operation* pOp = pa_context_get_server_info(pThis->m_pContext, OnServerInfo, pThis);
            if (pOp != nullptr) {
                pa_operation_unref(pOp);
            }
        } else {
            pThis->Connect();
        }
    } else if (pThis->m_pStream != nullptr && pThis->m_nWaitingUs != 0) {
        pThis->Drain();
    }
    pa_context_rttime_restart(pThis->m_pContext, pEvent, pa_rtclock_now() + kTickUs);
}

}  // namespace

std::unique_ptr<IAudioSource> CreatePulseSource(const char* pszServer, bool bMonitor) {
    try {
        return std::make_unique<CPulseSource>(pszServer, bMonitor);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace dvengine
