#include "engine/linux/screen/PipeWireStream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "deskvid/deskvid_status.h"

namespace dvengine {
namespace {

const uint32_t kMaxSide = 16384;
// More damage rectangles than this between two Grab()s become one.
const size_t kMaxChanged = 32;
const int kMaxDamage = 16;

int64_t NowUs() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

CPipeWireStream* Self(void* pData) {
    return static_cast<CPipeWireStream*>(pData);
}

// PipeWire calls these on its own thread: nothing may leave them. What one
// throws (an allocation that failed) ends the stream, as a lost one does.
template <typename TBody>
void Guarded(void* pData, TBody body) noexcept {
    try {
        body();
    } catch (...) {
        Self(pData)->OnLost();
    }
}

pw_core_events CoreEvents() {
    pw_core_events events = {};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = [](void* pData, uint32_t nId, int, int nRes, const char*) {
        // The remote itself failed (the portal closed it, PipeWire went).
        if (nId == PW_ID_CORE && nRes == -EPIPE) {
            Self(pData)->OnLost();
        }
    };
    return events;
}

pw_stream_events StreamEvents() {
    pw_stream_events events = {};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = [](void* pData, pw_stream_state, pw_stream_state state, const char*) {
        Guarded(pData, [&] { Self(pData)->OnState(state); });
    };
    events.param_changed = [](void* pData, uint32_t nId, const spa_pod* pParam) {
        if (nId == SPA_PARAM_Format) {
            Guarded(pData, [&] { Self(pData)->OnFormat(pParam); });
        }
    };
    events.process = [](void* pData) { Guarded(pData, [&] { Self(pData)->OnProcess(); }); };
    return events;
}

pw_registry_events RegistryEvents() {
    pw_registry_events events = {};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global_remove = [](void* pData, uint32_t nId) {
        Guarded(pData, [&] { Self(pData)->OnRemoved(nId); });
    };
    return events;
}

const pw_core_events g_coreEvents = CoreEvents();
const pw_registry_events g_registryEvents = RegistryEvents();
const pw_stream_events g_streamEvents = StreamEvents();

void CopyRect(const uint8_t* pSrc, size_t nSrcStride, uint8_t* pDst, size_t nDstStride,
              const CRect& rect) {
    const size_t nBytes = static_cast<size_t>(rect.w) * 4;
    for (int32_t y = rect.y; y < rect.y + rect.h; ++y) {
        std::memcpy(pDst + y * nDstStride + rect.x * 4, pSrc + y * nSrcStride + rect.x * 4, nBytes);
    }
}

}  // namespace

struct CPipeWireStream::CHooks {
    spa_hook core = {};
    spa_hook registry = {};
    spa_hook stream = {};
};

CPipeWireStream::CPipeWireStream() : m_pHooks(new CHooks) {}

CPipeWireStream::~CPipeWireStream() {
    Stop();
    delete m_pHooks;
}

HRESULT CPipeWireStream::Start(int nFd, uint32_t nNode, int64_t nDeadlineUs) {
    static std::once_flag s_init;
    std::call_once(s_init, [] { pw_init(nullptr, nullptr); });
    m_pLoop = pw_thread_loop_new("deskvid-screen", nullptr);
    m_pContext =
        m_pLoop != nullptr ? pw_context_new(pw_thread_loop_get_loop(m_pLoop), nullptr, 0) : nullptr;
    if (m_pContext == nullptr || pw_thread_loop_start(m_pLoop) < 0) {
        close(nFd);
        Stop();
        return DV_E_NO_DISPLAY;
    }
    m_bRunning = true;

    pw_thread_loop_lock(m_pLoop);
    // PipeWire owns the descriptor from here on.
    m_pCore = pw_context_connect_fd(m_pContext, nFd, nullptr, 0);
    if (m_pCore != nullptr) {
        pw_core_add_listener(m_pCore, &m_pHooks->core, &g_coreEvents, this);
        // A stream that may not reconnect just waits when its screen's node
        // goes; the registry tells.
        m_nNode = nNode;
        m_pRegistry = pw_core_get_registry(m_pCore, PW_VERSION_REGISTRY, 0);
        if (m_pRegistry != nullptr) {
            pw_registry_add_listener(m_pRegistry, &m_pHooks->registry, &g_registryEvents, this);
        }
        m_pStream =
            pw_stream_new(m_pCore, "deskvid screen",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                            "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    }
    int nResult = -1;
    if (m_pStream != nullptr) {
        pw_stream_add_listener(m_pStream, &m_pHooks->stream, &g_streamEvents, this);
        // Only pictures we can read from memory: no DMA-BUF (no modifier is
        // offered), B, G, R, x bytes.
        uint8_t rgBuffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(rgBuffer, sizeof(rgBuffer));
        spa_rectangle sizeDefault = SPA_RECTANGLE(1920, 1080);
        spa_rectangle sizeMin = SPA_RECTANGLE(1, 1);
        spa_rectangle sizeMax = SPA_RECTANGLE(kMaxSide, kMaxSide);
        spa_fraction rateDefault = SPA_FRACTION(30, 1);
        spa_fraction rateMin = SPA_FRACTION(0, 1);
        spa_fraction rateMax = SPA_FRACTION(1000, 1);
        const spa_pod* rgParams[1];
        rgParams[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
            SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                   SPA_VIDEO_FORMAT_BGRA),
            SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&sizeDefault, &sizeMin, &sizeMax),
            SPA_FORMAT_VIDEO_framerate,
            SPA_POD_CHOICE_RANGE_Fraction(&rateDefault, &rateMin, &rateMax)));
        nResult = pw_stream_connect(
            m_pStream, PW_DIRECTION_INPUT, nNode,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_DONT_RECONNECT),
            rgParams, 1);
    }
    // Connected when PAUSED or STREAMING; pictures may come much later.
    while (nResult >= 0 && m_nState != PW_STREAM_STATE_PAUSED &&
           m_nState != PW_STREAM_STATE_STREAMING) {
        timespec abstime = {};
        const int64_t nLeftUs = nDeadlineUs - NowUs();
        if (m_nState == PW_STREAM_STATE_ERROR || nLeftUs <= 0) {
            nResult = -1;
            break;
        }
        pw_thread_loop_get_time(m_pLoop, &abstime, nLeftUs * 1000);
        pw_thread_loop_timed_wait_full(m_pLoop, &abstime);
    }
    pw_thread_loop_unlock(m_pLoop);
    if (nResult < 0) {
        Stop();
        return DV_E_NO_DISPLAY;
    }
    return S_OK;
}

void CPipeWireStream::OnState(int nState) {
    const bool bWasConnected =
        m_nState == PW_STREAM_STATE_PAUSED || m_nState == PW_STREAM_STATE_STREAMING;
    m_nState = nState;
    if (nState == PW_STREAM_STATE_ERROR ||
        (bWasConnected && nState == PW_STREAM_STATE_UNCONNECTED)) {
        OnLost();
    }
    pw_thread_loop_signal(m_pLoop, false);
}

void CPipeWireStream::OnRemoved(uint32_t nId) {
    if (nId == m_nNode) {
        OnLost();
    }
}

void CPipeWireStream::OnLost() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bLost = true;
    }
    m_cvChange.notify_all();
}

void CPipeWireStream::OnFormat(const spa_pod* pParam) {
    m_nFormatWidth = 0;
    m_nFormatHeight = 0;
    uint32_t nMediaType = 0;
    uint32_t nSubtype = 0;
    spa_video_info_raw info = {};
    if (pParam == nullptr || spa_format_parse(pParam, &nMediaType, &nSubtype) < 0 ||
        nMediaType != SPA_MEDIA_TYPE_video || nSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(pParam, &info) < 0 ||
        (info.format != SPA_VIDEO_FORMAT_BGRx && info.format != SPA_VIDEO_FORMAT_BGRA) ||
        info.size.width == 0 || info.size.height == 0 || info.size.width > kMaxSide ||
        info.size.height > kMaxSide) {
        return;
    }
    m_nFormatWidth = static_cast<int>(info.size.width);
    m_nFormatHeight = static_cast<int>(info.size.height);

    // Buffers we can map, and the damage of each picture.
    uint8_t rgBuffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(rgBuffer, sizeof(rgBuffer));
    const spa_pod* rgParams[3];
    rgParams[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    rgParams[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    rgParams[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_VideoDamage), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kMaxDamage, sizeof(spa_meta_region),
                                 sizeof(spa_meta_region) * kMaxDamage)));
    pw_stream_update_params(m_pStream, rgParams, 3);
}

void CPipeWireStream::OnProcess() {
    pw_buffer* pBuffer = nullptr;
    while ((pBuffer = pw_stream_dequeue_buffer(m_pStream)) != nullptr) {
        // The buffer goes back whatever happens; an allocation that fails
        // ends the stream (see Guarded).
        struct CRequeue {
            pw_stream* pStream;
            pw_buffer* pBuffer;
            ~CRequeue() { pw_stream_queue_buffer(pStream, pBuffer); }
        } requeue{m_pStream, pBuffer};
        Take(pBuffer->buffer);
    }
}

// Copies what changed in one picture into m_vLatest; a buffer that does not
// hold a whole, sound picture is skipped.
void CPipeWireStream::Take(const spa_buffer* pBuffer) {
    const int nWidth = m_nFormatWidth;
    const int nHeight = m_nFormatHeight;
    if (nWidth == 0 || pBuffer->n_datas < 1) {
        return;
    }
    const auto* pHeader = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(pBuffer, SPA_META_Header, sizeof(spa_meta_header)));
    const spa_data& data = pBuffer->datas[0];
    if ((pHeader != nullptr && (pHeader->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) ||
        (data.type != SPA_DATA_MemFd && data.type != SPA_DATA_MemPtr) || data.data == nullptr ||
        data.chunk == nullptr || data.chunk->size == 0 ||
        (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0) {
        return;
    }
    const size_t nRow = static_cast<size_t>(nWidth) * 4;
    const size_t nStride = data.chunk->stride > 0 ? static_cast<size_t>(data.chunk->stride) : nRow;
    const size_t nOffset = data.chunk->offset;
    if (nStride < nRow || nOffset > data.maxsize ||
        (data.maxsize - nOffset) < nStride * static_cast<size_t>(nHeight - 1) + nRow) {
        return;
    }
    const uint8_t* pPixels = static_cast<const uint8_t*>(data.data) + nOffset;

    std::vector<CRect> vDamage;
    if (spa_meta* pMeta = spa_buffer_find_meta(pBuffer, SPA_META_VideoDamage)) {
        spa_meta_region* pRegion = nullptr;
        spa_meta_for_each(pRegion, pMeta) {
            if (!spa_meta_region_is_valid(pRegion)) {
                break;
            }
            const int64_t x0 = std::max<int64_t>(pRegion->region.position.x, 0);
            const int64_t y0 = std::max<int64_t>(pRegion->region.position.y, 0);
            const int64_t x1 = std::min<int64_t>(
                int64_t{pRegion->region.position.x} + pRegion->region.size.width, nWidth);
            const int64_t y1 = std::min<int64_t>(
                int64_t{pRegion->region.position.y} + pRegion->region.size.height, nHeight);
            if (x1 > x0 && y1 > y0) {
                vDamage.push_back({static_cast<int32_t>(x0), static_cast<int32_t>(y0),
                                   static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0)});
            }
        }
    }

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (nWidth != m_nWidth || nHeight != m_nHeight) {
            m_vLatest.assign(nRow * nHeight, 0);
            m_nWidth = nWidth;
            m_nHeight = nHeight;
            m_bWhole = true;
            m_vChanged.clear();
        }
        if (vDamage.empty() || m_bWhole) {
            // No damage told: all of it may have changed.
            vDamage.assign(1, CRect{0, 0, nWidth, nHeight});
        }
        for (const CRect& rect : vDamage) {
            CopyRect(pPixels, nStride, m_vLatest.data(), nRow, rect);
            AddChanged(rect);
        }
        m_bArrived = true;
    }
    m_cvChange.notify_all();
}

void CPipeWireStream::AddChanged(const CRect& rect) {
    if (m_bWhole) {
        return;
    }
    m_vChanged.push_back(rect);
    if (m_vChanged.size() > kMaxChanged) {
        CRect bounds = m_vChanged[0];
        for (const CRect& r : m_vChanged) {
            const int32_t x1 = std::max(bounds.x + bounds.w, r.x + r.w);
            const int32_t y1 = std::max(bounds.y + bounds.h, r.y + r.h);
            bounds.x = std::min(bounds.x, r.x);
            bounds.y = std::min(bounds.y, r.y);
            bounds.w = x1 - bounds.x;
            bounds.h = y1 - bounds.y;
        }
        m_vChanged.assign(1, bounds);
    }
}

HRESULT CPipeWireStream::Grab(CScreenFrame* pFrame) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bLost) {
        return DV_E_NO_DISPLAY;
    }
    if (m_vLatest.empty()) {
        return S_FALSE;
    }
    const size_t nRow = static_cast<size_t>(m_nWidth) * 4;
    if (m_bWhole || m_nOutWidth != m_nWidth || m_nOutHeight != m_nHeight) {
        m_vOut = m_vLatest;
        m_nOutWidth = m_nWidth;
        m_nOutHeight = m_nHeight;
        m_vChanged.assign(1, CRect{0, 0, m_nWidth, m_nHeight});
    } else {
        for (const CRect& rect : m_vChanged) {
            CopyRect(m_vLatest.data(), nRow, m_vOut.data(), nRow, rect);
        }
    }
    pFrame->pPixels = m_vOut.data();
    pFrame->nStride = static_cast<int>(nRow);
    pFrame->nWidth = m_nOutWidth;
    pFrame->nHeight = m_nOutHeight;
    // Pictures come only when the screen changes: the latest one is the
    // screen as it is now.
    pFrame->nTimeUs = NowUs();
    pFrame->vChanged.swap(m_vChanged);
    m_vChanged.clear();
    m_bWhole = false;
    m_bArrived = false;
    return S_OK;
}

bool CPipeWireStream::WaitForChange(int64_t nDeadlineUs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::microseconds(nDeadlineUs - NowUs());
    return m_cvChange.wait_until(lock, until, [this] { return m_bArrived || m_bLost; });
}

void CPipeWireStream::Stop() {
    if (m_pLoop != nullptr && m_bRunning) {
        pw_thread_loop_lock(m_pLoop);
        if (m_pStream != nullptr) {
            spa_hook_remove(&m_pHooks->stream);
            pw_stream_destroy(m_pStream);
            m_pStream = nullptr;
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
