// The default audio input through WASAPI: shared mode, event-driven, 48 kHz
// 16-bit stereo (the system converts from the device's mix format), every
// packet stamped with the system's QueryPerformanceCounter position.
//
// A thread of the source's own owns every WASAPI object (in its own
// multithreaded apartment, so the host's threads keep theirs) and queues
// what it reads. A device that goes away reports AUDCLNT_E_DEVICE_INVALIDATED;
// a server that dies may report nothing and only stop delivering, which the
// watchdog catches. Either way the source opens the default device again,
// and goes on trying for as long as it runs: silence meanwhile, and a loss
// only while there is no device to open. When the user picks another default
// device, the recording moves to it.
#include "engine/windows/audio/WasapiSource.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first: the audio headers rely on its types.
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "deskvid/deskvid_status.h"
#include "engine/core/Clock.h"
#include "engine/core/Settings.h"

namespace dvengine {
namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr REFERENCE_TIME kBuffer100ns = 2000000;  // 200 ms of room at the device
constexpr int64_t kFirstDataLimitUs = 3000000;    // an idle device may take 2 s
constexpr int64_t kSilentLimitUs = 700000;        // no packet this long: lost
constexpr int64_t kRetryUs = 500000;              // a device lost is opened again this often
constexpr DWORD kWaitMs = 50;                     // the loop's watchdog period
constexpr size_t kMaxQueuedFrames = 2 * kRate;    // beyond this the oldest go

template <class T>
void SafeRelease(T** pp) {
    if (*pp != nullptr) {
        (*pp)->Release();
        *pp = nullptr;
    }
}

// Tells the capture thread that the default device for its flow changed.
// The system calls it on threads of its own, which must not be held up: it
// only sets a flag and signals the thread's event. It lives as long as its
// source, which unregisters it before it goes; the reference count is only
// what COM asks for.
class CDefaultWatch final : public IMMNotificationClient {
public:
    explicit CDefaultWatch(EDataFlow flow) : m_flow(flow) {}
    void Watch(HANDLE hEvent) { m_hEvent = hEvent; }
    bool Changed() { return m_bChanged.exchange(false); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (riid == __uuidof(IUnknown) || riid == __uuidof(IMMNotificationClient)) {
            *ppv = static_cast<IMMNotificationClient*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_nRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_nRefs; }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
        if (flow == m_flow && role == eConsole) {
            m_bChanged = true;
            SetEvent(m_hEvent);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
        return S_OK;
    }

private:
    const EDataFlow m_flow;
    HANDLE m_hEvent = nullptr;
    std::atomic<ULONG> m_nRefs{1};
    std::atomic<bool> m_bChanged{false};
};

class CWasapiSource final : public IAudioSource {
public:
    explicit CWasapiSource(bool bLoopback)
        : m_bLoopback(bLoopback), m_watch(bLoopback ? eRender : eCapture) {}
    ~CWasapiSource() override { Stop(); }

    HRESULT Start(int64_t nDeadlineUs) override;
    HRESULT Read(int64_t nDeadlineUs, CAudioBlock* pBlock) override;
    void Stop() override;

private:
    void Run();
    HRESULT Open(IMMDeviceEnumerator* pEnumerator, IAudioClient** ppClient,
                 IAudioCaptureClient** ppCapture, HANDLE hEvent);
    bool Drain(IAudioCaptureClient* pCapture, int64_t* pnLastDataUs);
    void Report(HRESULT hr);
    void SetGone(bool bGone);

    // What the default output plays rather than the default input. It sends
    // no packets while nothing plays, so silence of packets proves nothing
    // there: only an invalidated device is a loss.
    const bool m_bLoopback;
    CDefaultWatch m_watch;
    std::thread m_thread;
    // The capture thread's: where the next packet begins on the capture
    // clock, by the samples since the last good stamp.
    bool m_bNext = false;
    int64_t m_nNextUs = 0;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    // Guarded by m_mutex.
    bool m_bOpened = false;   // the thread has reported how the open went
    HRESULT m_hrOpen = S_OK;  // and this is how
    bool m_bStop = false;
    bool m_bGone = false;  // no device could be opened, for now
    std::deque<CAudioBlock> m_queue;
    size_t m_nQueuedFrames = 0;
};

HRESULT CWasapiSource::Start(int64_t nDeadlineUs) {
    try {
        m_thread = std::thread(&CWasapiSource::Run, this);
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bOpened) {
        const int64_t nNow = MonotonicUs();
        if (nNow >= nDeadlineUs) {
            break;
        }
        m_cv.wait_for(lock, std::chrono::microseconds(nDeadlineUs - nNow));
    }
    if (!m_bOpened || FAILED(m_hrOpen)) {
        // No endpoint, a device that refuses, or no answer in time.
        m_bStop = true;
        return DV_E_NO_AUDIO;
    }
    return S_OK;
}

HRESULT CWasapiSource::Read(int64_t nDeadlineUs, CAudioBlock* pBlock) {
    if (pBlock == nullptr) {
        return E_POINTER;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_bStop || !m_bOpened || FAILED(m_hrOpen)) {
        return DV_E_NO_AUDIO;  // stopped, or never started
    }
    while (m_queue.empty()) {
        if (m_bStop) {
            return DV_E_NO_AUDIO;
        }
        const int64_t nNow = MonotonicUs();
        if (nNow >= nDeadlineUs) {
            // What came before a loss is handed out first; the loss lasts
            // until a device opens again.
            return m_bGone ? DV_E_NO_AUDIO : S_FALSE;
        }
        m_cv.wait_for(lock, std::chrono::microseconds(nDeadlineUs - nNow));
    }
    *pBlock = std::move(m_queue.front());
    m_queue.pop_front();
    m_nQueuedFrames -= pBlock->vSamples.size() / kChannels;
    return S_OK;
}

void CWasapiSource::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_cv.notify_all();
    // The thread looks at the flag at least every kWaitMs.
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CWasapiSource::Report(HRESULT hr) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bOpened = true;
        m_hrOpen = hr;
    }
    m_cv.notify_all();
}

void CWasapiSource::SetGone(bool bGone) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bGone = bGone;
    }
    m_cv.notify_all();
}

// The default device, started. Whatever it made is released on failure.
HRESULT CWasapiSource::Open(IMMDeviceEnumerator* pEnumerator, IAudioClient** ppClient,
                            IAudioCaptureClient** ppCapture, HANDLE hEvent) {
    IMMDevice* pDevice = nullptr;
    // No endpoint at all: E_NOTFOUND.
    HRESULT hr =
        pEnumerator->GetDefaultAudioEndpoint(m_bLoopback ? eRender : eCapture, eConsole, &pDevice);
    if (SUCCEEDED(hr)) {
        hr = pDevice->Activate(__uuidof(IAudioClient), CLSCTX_INPROC_SERVER, nullptr,
                               reinterpret_cast<void**>(ppClient));
    }
    if (SUCCEEDED(hr)) {
        WAVEFORMATEX wfx = {};
        wfx.wFormatTag = WAVE_FORMAT_PCM;
        wfx.nChannels = kChannels;
        wfx.nSamplesPerSec = kRate;
        wfx.wBitsPerSample = 16;
        wfx.nBlockAlign = kChannels * 2;
        wfx.nAvgBytesPerSec = kRate * wfx.nBlockAlign;
        hr = (*ppClient)->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                     AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                                         AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                                         AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY |
                                         (m_bLoopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0),
                                     kBuffer100ns, 0, &wfx, nullptr);
    }
    if (SUCCEEDED(hr)) {
        hr = (*ppClient)->SetEventHandle(hEvent);
    }
    if (SUCCEEDED(hr)) {
        // Wine 8 offers no loopback: AUDCLNT_E_WRONG_ENDPOINT_TYPE here.
        hr = (*ppClient)->GetService(__uuidof(IAudioCaptureClient),
                                     reinterpret_cast<void**>(ppCapture));
    }
    if (SUCCEEDED(hr)) {
        hr = (*ppClient)->Start();
    }
    SafeRelease(&pDevice);
    if (FAILED(hr)) {
        SafeRelease(ppCapture);
        SafeRelease(ppClient);
    }
    // Its stamps start afresh.
    m_bNext = false;
    return hr;
}

// Queues every packet waiting at the device. False when the device is gone.
// A packet the memory cannot hold is lost alone; the stamps after it say so.
bool CWasapiSource::Drain(IAudioCaptureClient* pCapture, int64_t* pnLastDataUs) {
    for (;;) {
        UINT32 nPacket = 0;
        HRESULT hr = pCapture->GetNextPacketSize(&nPacket);
        if (FAILED(hr)) {
            return false;
        }
        if (nPacket == 0) {
            return true;
        }
        BYTE* pData = nullptr;
        UINT32 nFrames = 0;
        DWORD dwFlags = 0;
        UINT64 nQpc100ns = 0;
        hr = pCapture->GetBuffer(&pData, &nFrames, &dwFlags, nullptr, &nQpc100ns);
        if (FAILED(hr)) {
            return false;
        }
        if (hr == AUDCLNT_S_BUFFER_EMPTY) {
            return true;
        }
        CAudioBlock block;
        bool bCopied = true;
        try {
            const auto* pSamples = reinterpret_cast<const int16_t*>(pData);
            if ((dwFlags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || pData == nullptr) {
                block.vSamples.assign(size_t{nFrames} * kChannels, 0);
            } else {
                block.vSamples.assign(pSamples, pSamples + size_t{nFrames} * kChannels);
            }
        } catch (const std::bad_alloc&) {
            bCopied = false;
        }
        pCapture->ReleaseBuffer(nFrames);
        const int64_t nNow = MonotonicUs();
        const int64_t nLengthUs = int64_t{nFrames} * 1000000 / kRate;
        // The device's stamp is on the same counter as the capture clock. One
        // it flags as wrong is replaced by where the samples since the last
        // good one put the packet; with none yet, the packet ended now.
        if (nQpc100ns != 0 && (dwFlags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) == 0) {
            block.nTimeUs = static_cast<int64_t>(nQpc100ns / 10);
        } else {
            block.nTimeUs = m_bNext ? m_nNextUs : nNow - nLengthUs;
        }
        m_bNext = true;
        m_nNextUs = block.nTimeUs + nLengthUs;
        *pnLastDataUs = nNow;
        if (nFrames == 0 || !bCopied) {
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            try {
                m_queue.push_back(std::move(block));
            } catch (const std::bad_alloc&) {
                continue;
            }
            m_nQueuedFrames += nFrames;
            while (m_nQueuedFrames > kMaxQueuedFrames) {
                m_nQueuedFrames -= m_queue.front().vSamples.size() / kChannels;
                m_queue.pop_front();
            }
        }
        m_cv.notify_all();
    }
}

void CWasapiSource::Run() {
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // Auto-reset: the device signals a packet, the watch a new default.
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    IMMDeviceEnumerator* pEnumerator = nullptr;
    IAudioClient* pClient = nullptr;
    IAudioCaptureClient* pCapture = nullptr;
    HRESULT hr = FAILED(hrCom) ? hrCom : hEvent == nullptr ? E_OUTOFMEMORY : S_OK;
    if (SUCCEEDED(hr)) {
        hr =
            CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_INPROC_SERVER,
                             __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&pEnumerator));
    }
    bool bWatching = false;
    if (SUCCEEDED(hr)) {
        // Without notifications (an older system, Wine) the default is only
        // taken when a device is opened again.
        m_watch.Watch(hEvent);
        bWatching = SUCCEEDED(pEnumerator->RegisterEndpointNotificationCallback(&m_watch));
        hr = Open(pEnumerator, &pClient, &pCapture, hEvent);
    }
    Report(hr);
    int64_t nOpenedUs = MonotonicUs();
    int64_t nLastDataUs = 0;
    int64_t nRetryUs = 0;
    while (SUCCEEDED(hr)) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStop) {
                break;
            }
        }
        WaitForSingleObject(hEvent, kWaitMs);
        int64_t nNow = MonotonicUs();
        bool bReopen = m_watch.Changed();
        if (pCapture != nullptr && !Drain(pCapture, &nLastDataUs)) {
            bReopen = true;  // invalidated, or the server went
        }
        // A capture device sends packets all the time; silent past its
        // deadline, it is as good as gone. What the output plays sends none
        // while nothing plays.
        if (pCapture != nullptr && !m_bLoopback &&
            (nLastDataUs == 0 ? nNow - nOpenedUs > kFirstDataLimitUs
                              : nNow - nLastDataUs > kSilentLimitUs)) {
            bReopen = true;
        }
        if (bReopen) {
            if (pClient != nullptr) {
                pClient->Stop();
                SafeRelease(&pCapture);
                SafeRelease(&pClient);
            }
            nRetryUs = nNow;  // at once: most often a new default is there
        }
        if (pClient == nullptr && nNow >= nRetryUs) {
            const HRESULT hrOpen = Open(pEnumerator, &pClient, &pCapture, hEvent);
            nNow = MonotonicUs();
            SetGone(FAILED(hrOpen));
            nOpenedUs = nNow;
            nLastDataUs = 0;
            nRetryUs = nNow + kRetryUs;
        }
    }
    if (pClient != nullptr) {
        pClient->Stop();
    }
    SafeRelease(&pCapture);
    SafeRelease(&pClient);
    if (bWatching) {
        pEnumerator->UnregisterEndpointNotificationCallback(&m_watch);
    }
    SafeRelease(&pEnumerator);
    if (hEvent != nullptr) {
        CloseHandle(hEvent);
    }
    if (SUCCEEDED(hrCom)) {
        CoUninitialize();
    }
}

}  // namespace

std::unique_ptr<IAudioSource> CreateWasapiSource(bool bLoopback) {
    return std::unique_ptr<IAudioSource>(new (std::nothrow) CWasapiSource(bLoopback));
}

}  // namespace dvengine
