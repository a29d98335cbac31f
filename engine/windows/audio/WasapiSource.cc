// The default audio input through WASAPI: shared mode, event-driven, 48 kHz
// 16-bit stereo (the system converts from the device's mix format), every
// packet stamped with the system's QueryPerformanceCounter position.
//
// A thread of the source's own owns every WASAPI object (in its own
// multithreaded apartment, so the host's threads keep theirs) and queues
// what it reads. A device that goes away reports AUDCLNT_E_DEVICE_INVALIDATED;
// a server that dies may report nothing and only stop delivering, which the
// watchdog catches: no packet for too long is a lost device.
#include "engine/windows/audio/WasapiSource.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first: the audio headers rely on its types.
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <algorithm>
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
constexpr DWORD kWaitMs = 50;                     // the loop's watchdog period
constexpr size_t kMaxQueuedFrames = 2 * kRate;    // beyond this the oldest go

template <class T>
void SafeRelease(T** pp) {
    if (*pp != nullptr) {
        (*pp)->Release();
        *pp = nullptr;
    }
}

class CWasapiSource final : public IAudioSource {
public:
    explicit CWasapiSource(bool bLoopback) : m_bLoopback(bLoopback) {}
    ~CWasapiSource() override { Stop(); }

    HRESULT Start(int64_t nDeadlineUs) override;
    HRESULT Read(int64_t nDeadlineUs, CAudioBlock* pBlock) override;
    void Stop() override;

private:
    void Run();
    HRESULT Open(IAudioClient** ppClient, IAudioCaptureClient** ppCapture, HANDLE hEvent);
    bool Drain(IAudioCaptureClient* pCapture, int64_t* pnLastDataUs);
    void Report(HRESULT hr);

    // What the default output plays rather than the default input. It sends
    // no packets while nothing plays, so silence of packets proves nothing
    // there: only an invalidated device is a loss.
    const bool m_bLoopback;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    // Guarded by m_mutex.
    bool m_bOpened = false;   // the thread has reported how the open went
    HRESULT m_hrOpen = S_OK;  // and this is how
    bool m_bStop = false;
    bool m_bLost = false;
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
    // What came before a loss is still handed out; then the loss.
    while (m_queue.empty()) {
        if (m_bLost || m_bStop) {
            return DV_E_NO_AUDIO;
        }
        const int64_t nNow = MonotonicUs();
        if (nNow >= nDeadlineUs) {
            return S_FALSE;
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
        if (!m_bOpened) {
            m_bOpened = true;
            m_hrOpen = hr;
        } else if (FAILED(hr)) {
            m_bLost = true;
        }
    }
    m_cv.notify_all();
}

HRESULT CWasapiSource::Open(IAudioClient** ppClient, IAudioCaptureClient** ppCapture,
                            HANDLE hEvent) {
    IMMDeviceEnumerator* pEnumerator = nullptr;
    IMMDevice* pDevice = nullptr;
    HRESULT hr =
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_INPROC_SERVER,
                         __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&pEnumerator));
    if (SUCCEEDED(hr)) {
        // No endpoint at all: E_NOTFOUND.
        hr = pEnumerator->GetDefaultAudioEndpoint(m_bLoopback ? eRender : eCapture, eConsole,
                                                  &pDevice);
    }
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
    SafeRelease(&pEnumerator);
    return hr;
}

// Queues every packet waiting at the device. False when the device is gone.
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
        try {
            const auto* pSamples = reinterpret_cast<const int16_t*>(pData);
            if ((dwFlags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 || pData == nullptr) {
                block.vSamples.assign(size_t{nFrames} * kChannels, 0);
            } else {
                block.vSamples.assign(pSamples, pSamples + size_t{nFrames} * kChannels);
            }
        } catch (const std::bad_alloc&) {
            pCapture->ReleaseBuffer(nFrames);
            return false;
        }
        pCapture->ReleaseBuffer(nFrames);
        const int64_t nNow = MonotonicUs();
        // The device's stamp is on the same counter as the capture clock;
        // without one, the packet ended now.
        block.nTimeUs = nQpc100ns != 0 ? static_cast<int64_t>(nQpc100ns / 10)
                                       : nNow - int64_t{nFrames} * 1000000 / kRate;
        *pnLastDataUs = nNow;
        if (nFrames == 0) {
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            try {
                m_queue.push_back(std::move(block));
            } catch (const std::bad_alloc&) {
                return false;
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
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    IAudioClient* pClient = nullptr;
    IAudioCaptureClient* pCapture = nullptr;
    HRESULT hr = FAILED(hrCom) ? hrCom : hEvent == nullptr ? E_OUTOFMEMORY : S_OK;
    if (SUCCEEDED(hr)) {
        hr = Open(&pClient, &pCapture, hEvent);
    }
    Report(hr);
    const int64_t nStartUs = MonotonicUs();
    int64_t nLastDataUs = 0;
    while (SUCCEEDED(hr)) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStop) {
                break;
            }
        }
        WaitForSingleObject(hEvent, kWaitMs);
        if (!Drain(pCapture, &nLastDataUs)) {
            hr = AUDCLNT_E_DEVICE_INVALIDATED;
            break;
        }
        const int64_t nNow = MonotonicUs();
        if (!m_bLoopback && (nLastDataUs == 0 ? nNow - nStartUs > kFirstDataLimitUs
                                              : nNow - nLastDataUs > kSilentLimitUs)) {
            hr = AUDCLNT_E_DEVICE_INVALIDATED;  // silent past its deadline
        }
    }
    if (FAILED(hr)) {
        Report(hr);
    }
    if (pClient != nullptr) {
        pClient->Stop();
    }
    SafeRelease(&pCapture);
    SafeRelease(&pClient);
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
