#include "engine/linux/screen/PipeWireDesktop.h"

#include <pipewire/pipewire.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <new>

#include "deskvid/deskvid_status.h"

namespace dvengine {
namespace {

CPipeWireDesktop* Self(void* pData) {
    return static_cast<CPipeWireDesktop*>(pData);
}

// PipeWire calls these on its own thread: nothing may leave them. They only
// take a lock and set flags; should even that throw, the streams' own
// watchdogs still see the desktop go quiet.
template <typename TBody>
void Guarded(TBody body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

pw_core_events CoreEvents() {
    pw_core_events events = {};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = [](void* pData, uint32_t nId, int, int nRes, const char*) {
        // The remote itself failed (the portal closed it, PipeWire went).
        if (nId == PW_ID_CORE && nRes == -EPIPE) {
            Guarded([&] { Self(pData)->OnLost(); });
        }
    };
    return events;
}

pw_registry_events RegistryEvents() {
    pw_registry_events events = {};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global_remove = [](void* pData, uint32_t nId) {
        Guarded([&] { Self(pData)->OnRemoved(nId); });
    };
    return events;
}

const pw_core_events g_coreEvents = CoreEvents();
const pw_registry_events g_registryEvents = RegistryEvents();

}  // namespace

struct CPipeWireDesktop::CHooks {
    spa_hook core = {};
    spa_hook registry = {};
};

CPipeWireDesktop::CPipeWireDesktop() : m_pHooks(new CHooks) {}

CPipeWireDesktop::~CPipeWireDesktop() {
    Stop();
    delete m_pHooks;
}

HRESULT CPipeWireDesktop::Start(int nFd, const std::vector<CDesktopStream>& vStreams,
                                int nFpsTimes1000, int64_t nDeadlineUs) {
    static std::once_flag s_init;
    std::call_once(s_init, [] { pw_init(nullptr, nullptr); });
    m_vWhere = vStreams;
    m_pLoop = pw_thread_loop_new("deskvid-screen", nullptr);
    m_pContext =
        m_pLoop != nullptr ? pw_context_new(pw_thread_loop_get_loop(m_pLoop), nullptr, 0) : nullptr;
    if (vStreams.empty() || m_pContext == nullptr || pw_thread_loop_start(m_pLoop) < 0) {
        close(nFd);
        Stop();
        return DV_E_NO_DISPLAY;
    }
    m_bRunning = true;

    pw_thread_loop_lock(m_pLoop);
    // PipeWire owns the descriptor from here on.
    m_pCore = pw_context_connect_fd(m_pContext, nFd, nullptr, 0);
    bool bOk = m_pCore != nullptr;
    if (bOk) {
        pw_core_add_listener(m_pCore, &m_pHooks->core, &g_coreEvents, this);
        // A stream that may not reconnect just waits when its monitor's node
        // goes; the registry tells.
        m_pRegistry = pw_core_get_registry(m_pCore, PW_VERSION_REGISTRY, 0);
        if (m_pRegistry != nullptr) {
            pw_registry_add_listener(m_pRegistry, &m_pHooks->registry, &g_registryEvents, this);
        }
    }
    for (size_t i = 0; bOk && i < vStreams.size(); ++i) {
        m_vStreams.push_back(std::make_unique<CPipeWireStream>(&m_signal));
        bOk = m_vStreams.back()->Connect(m_pLoop, m_pCore, vStreams[i].nNode, nFpsTimes1000);
    }
    // Connected when paused or streaming; pictures may come much later.
    auto bConnected = [this] {
        return std::all_of(m_vStreams.begin(), m_vStreams.end(),
                           [](const auto& p) { return p->Connected(); });
    };
    while (bOk && !bConnected()) {
        timespec abstime = {};
        const int64_t nLeftUs = nDeadlineUs - MonotonicUs();
        if (nLeftUs <= 0 || std::any_of(m_vStreams.begin(), m_vStreams.end(),
                                        [](const auto& p) { return p->Failed(); })) {
            bOk = false;
            break;
        }
        pw_thread_loop_get_time(m_pLoop, &abstime, nLeftUs * 1000);
        pw_thread_loop_timed_wait_full(m_pLoop, &abstime);
    }
    pw_thread_loop_unlock(m_pLoop);
    if (!bOk) {
        Stop();
        return DV_E_NO_DISPLAY;
    }
    return S_OK;
}

void CPipeWireDesktop::OnRemoved(uint32_t nId) {
    std::lock_guard<std::mutex> lock(m_signal.mutex);
    for (const auto& pStream : m_vStreams) {
        if (pStream->Node() == nId) {
            pStream->SetLost();
        }
    }
}

void CPipeWireDesktop::OnLost() {
    {
        std::lock_guard<std::mutex> lock(m_signal.mutex);
        m_bLost = true;
        m_signal.bArrived = true;
    }
    m_signal.cv.notify_all();
}

void CPipeWireDesktop::Layout(std::vector<CPlace>* pvPlaces, int* pnWidth, int* pnHeight) const {
    pvPlaces->clear();
    int64_t x0 = INT64_MAX;
    int64_t y0 = INT64_MAX;
    int64_t x1 = INT64_MIN;
    int64_t y1 = INT64_MIN;
    auto place = [&](CPipeWireStream* p, int64_t x, int64_t y) {
        pvPlaces->push_back(
            CPlace{p, static_cast<int>(x), static_cast<int>(y), p->Width(), p->Height()});
        x0 = std::min(x0, x);
        y0 = std::min(y0, y);
        x1 = std::max(x1, x + p->Width());
        y1 = std::max(y1, y + p->Height());
    };
    auto live = [](const CPipeWireStream* p) { return !p->Lost() && p->Width() > 0; };
    for (size_t i = 0; i < m_vStreams.size(); ++i) {
        if (live(m_vStreams[i].get()) && m_vWhere[i].bPositioned) {
            place(m_vStreams[i].get(), m_vWhere[i].x, m_vWhere[i].y);
        }
    }
    // Those with no position told: beside the others, left to right.
    int64_t x = pvPlaces->empty() ? 0 : x1;
    const int64_t y = pvPlaces->empty() ? 0 : y0;
    for (size_t i = 0; i < m_vStreams.size(); ++i) {
        if (live(m_vStreams[i].get()) && !m_vWhere[i].bPositioned) {
            place(m_vStreams[i].get(), x, y);
            x += m_vStreams[i]->Width();
        }
    }
    for (CPlace& p : *pvPlaces) {
        p.x -= static_cast<int>(x0);
        p.y -= static_cast<int>(y0);
    }
    // A desktop no picture could hold counts as none.
    const bool bFits = !pvPlaces->empty() && x1 - x0 <= 32768 && y1 - y0 <= 32768;
    *pnWidth = bFits ? static_cast<int>(x1 - x0) : 0;
    *pnHeight = bFits ? static_cast<int>(y1 - y0) : 0;
    if (!bFits) {
        pvPlaces->clear();
    }
}

HRESULT CPipeWireDesktop::Grab(CScreenFrame* pFrame) {
    std::lock_guard<std::mutex> lock(m_signal.mutex);
    const bool bAllGone =
        std::all_of(m_vStreams.begin(), m_vStreams.end(), [](const auto& p) { return p->Lost(); });
    if (m_bLost || bAllGone) {
        return DV_E_NO_DISPLAY;
    }
    // What came is looked at now, picture or not: a wait for change waits
    // for the next news.
    m_signal.bArrived = false;
    if (std::none_of(m_vStreams.begin(), m_vStreams.end(),
                     [](const auto& p) { return !p->Lost() && p->HasPicture(); })) {
        return S_FALSE;
    }
    std::vector<CPlace> vPlaces;
    int nWidth = 0;
    int nHeight = 0;
    Layout(&vPlaces, &nWidth, &nHeight);
    if (nWidth == 0) {
        return S_FALSE;
    }
    const bool bAll = vPlaces != m_vPlaces || nWidth != m_nWidth || nHeight != m_nHeight;
    const size_t nRow = static_cast<size_t>(nWidth) * 4;
    if (bAll) {
        try {
            // Black where a monitor has sent nothing yet.
            m_vCanvas.assign(nRow * nHeight, 0);
        } catch (const std::bad_alloc&) {
            m_vPlaces.clear();
            m_nWidth = 0;
            return E_OUTOFMEMORY;
        }
        m_vPlaces = vPlaces;
        m_nWidth = nWidth;
        m_nHeight = nHeight;
    }
    pFrame->vChanged.clear();
    for (const CPlace& place : vPlaces) {
        place.pStream->Collect(m_vCanvas.data(), nRow, place.x, place.y, bAll, &pFrame->vChanged);
    }
    if (bAll) {
        pFrame->vChanged.assign(1, CRect{0, 0, nWidth, nHeight});
    }
    pFrame->pPixels = m_vCanvas.data();
    pFrame->nStride = static_cast<int>(nRow);
    pFrame->nWidth = nWidth;
    pFrame->nHeight = nHeight;
    // Pictures come only when the screen changes: the latest one is the
    // screen as it is now.
    pFrame->nTimeUs = MonotonicUs();
    return S_OK;
}

bool CPipeWireDesktop::Size(int* pnWidth, int* pnHeight) {
    std::lock_guard<std::mutex> lock(m_signal.mutex);
    std::vector<CPlace> vPlaces;
    Layout(&vPlaces, pnWidth, pnHeight);
    return *pnWidth > 0;
}

bool CPipeWireDesktop::WaitForChange(int64_t nDeadlineUs) {
    std::unique_lock<std::mutex> lock(m_signal.mutex);
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::microseconds(nDeadlineUs - MonotonicUs());
    return m_signal.cv.wait_until(lock, until, [this] { return m_signal.bArrived || m_bLost; });
}

void CPipeWireDesktop::Stop() {
    if (m_pLoop != nullptr && m_bRunning) {
        pw_thread_loop_lock(m_pLoop);
        for (const auto& pStream : m_vStreams) {
            pStream->Disconnect();
        }
        if (m_pRegistry != nullptr) {
            spa_hook_remove(&m_pHooks->registry);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(m_pRegistry));
            m_pRegistry = nullptr;
        }
        if (m_pCore != nullptr) {
            spa_hook_remove(&m_pHooks->core);
            pw_core_disconnect(m_pCore);
            m_pCore = nullptr;
        }
        pw_thread_loop_unlock(m_pLoop);
        pw_thread_loop_stop(m_pLoop);
        m_bRunning = false;
    }
    if (m_pContext != nullptr) {
        pw_context_destroy(m_pContext);
        m_pContext = nullptr;
    }
    if (m_pLoop != nullptr) {
        pw_thread_loop_destroy(m_pLoop);
        m_pLoop = nullptr;
    }
    OnLost();
}

}  // namespace dvengine
