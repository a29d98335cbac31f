#include "engine/linux/screen/PipeWireStream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>

namespace dvengine {
namespace {

const uint32_t kMaxSide = 16384;
// More damage rectangles than this between two Collect()s become one.
const size_t kMaxChanged = 32;
const int kMaxDamage = 16;
// Reported damage is checked against the pixels this often: a compositor
// that forgets to report a change is caught within this time.
const int64_t kCheckUs = 1000000;

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
        Self(pData)->OnFailed();
    }
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

const pw_stream_events g_streamEvents = StreamEvents();

// Copies a w x h rectangle, swapping the first and third byte of each pixel
// when bSwap (R, G, B order into B, G, R).
void CopyRect(const uint8_t* pSrc, size_t nSrcStride, int sx, int sy, uint8_t* pDst,
              size_t nDstStride, int dx, int dy, int w, int h, bool bSwap) {
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = pSrc + (sy + y) * nSrcStride + sx * 4;
        uint8_t* d = pDst + (dy + y) * nDstStride + dx * 4;
        if (!bSwap) {
            std::memcpy(d, s, static_cast<size_t>(w) * 4);
            continue;
        }
        for (int x = 0; x < w; ++x, s += 4, d += 4) {
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
            d[3] = s[3];
        }
    }
}

// The formats we read: one offer asking for no more pictures a second than
// the recording takes, and one without, for a producer that cannot limit
// its rate.
const spa_pod* FormatOffer(spa_pod_builder* pBuilder, const spa_fraction* pMaxRate) {
    spa_rectangle sizeDefault = SPA_RECTANGLE(1920, 1080);
    spa_rectangle sizeMin = SPA_RECTANGLE(1, 1);
    spa_rectangle sizeMax = SPA_RECTANGLE(kMaxSide, kMaxSide);
    spa_fraction rateDefault = SPA_FRACTION(0, 1);
    spa_fraction rateMin = SPA_FRACTION(0, 1);
    spa_fraction rateMax = SPA_FRACTION(1000, 1);
    spa_pod_frame frame;
    spa_pod_builder_push_object(pBuilder, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(
        pBuilder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&sizeDefault, &sizeMin, &sizeMax),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rateDefault, &rateMin, &rateMax),
        0);
    if (pMaxRate != nullptr) {
        spa_pod_builder_add(pBuilder, SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_Fraction(pMaxRate), 0);
    }
    return static_cast<const spa_pod*>(spa_pod_builder_pop(pBuilder, &frame));
}

}  // namespace

struct CPipeWireStream::CHook {
    spa_hook hook = {};
};

CPipeWireStream::CPipeWireStream(CStreamSignal* pSignal) : m_pSignal(pSignal), m_pHook(new CHook) {}

CPipeWireStream::~CPipeWireStream() {
    Disconnect();
    delete m_pHook;
}

bool CPipeWireStream::Connect(pw_thread_loop* pLoop, pw_core* pCore, uint32_t nNode,
                              int nFpsTimes1000) {
    m_pLoop = pLoop;
    m_nNode = nNode;
    m_pStream = pw_stream_new(pCore, "deskvid screen",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (m_pStream == nullptr) {
        return false;
    }
    pw_stream_add_listener(m_pStream, &m_pHook->hook, &g_streamEvents, this);
    const int nGcd = std::gcd(std::max(nFpsTimes1000, 1), 1000);
    spa_fraction maxRate = SPA_FRACTION(static_cast<uint32_t>(std::max(nFpsTimes1000, 1) / nGcd),
                                        static_cast<uint32_t>(1000 / nGcd));
    uint8_t rgBuffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(rgBuffer, sizeof(rgBuffer));
    const spa_pod* rgParams[2] = {FormatOffer(&builder, &maxRate), FormatOffer(&builder, nullptr)};
    // Only pictures we can read from memory: no DMA-BUF (no modifier is
    // offered).
    return pw_stream_connect(m_pStream, PW_DIRECTION_INPUT, nNode,
                             static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                          PW_STREAM_FLAG_MAP_BUFFERS |
                                                          PW_STREAM_FLAG_DONT_RECONNECT),
                             rgParams, 2) >= 0;
}

void CPipeWireStream::Disconnect() {
    if (m_pStream != nullptr) {
        spa_hook_remove(&m_pHook->hook);
        pw_stream_destroy(m_pStream);
        m_pStream = nullptr;
    }
}

bool CPipeWireStream::Connected() const {
    return m_nState == PW_STREAM_STATE_PAUSED || m_nState == PW_STREAM_STATE_STREAMING;
}

bool CPipeWireStream::Failed() const {
    return m_nState == PW_STREAM_STATE_ERROR || m_pStream == nullptr;
}

void CPipeWireStream::SetLost() {
    m_bLost = true;
    m_pSignal->bArrived = true;
    m_pSignal->cv.notify_all();
}

void CPipeWireStream::OnFailed() noexcept {
    try {
        std::lock_guard<std::mutex> lock(m_pSignal->mutex);
        SetLost();
    } catch (...) {
        m_bLost = true;
    }
}

void CPipeWireStream::OnState(int nState) {
    const bool bWasConnected = Connected();
    m_nState = nState;
    if (nState == PW_STREAM_STATE_ERROR ||
        (bWasConnected && nState == PW_STREAM_STATE_UNCONNECTED)) {
        std::lock_guard<std::mutex> lock(m_pSignal->mutex);
        SetLost();
    }
    pw_thread_loop_signal(m_pLoop, false);
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
        (info.format != SPA_VIDEO_FORMAT_BGRx && info.format != SPA_VIDEO_FORMAT_BGRA &&
         info.format != SPA_VIDEO_FORMAT_RGBx && info.format != SPA_VIDEO_FORMAT_RGBA) ||
        info.size.width == 0 || info.size.height == 0 || info.size.width > kMaxSide ||
        info.size.height > kMaxSide) {
        return;
    }
    m_nFormatWidth = static_cast<int>(info.size.width);
    m_nFormatHeight = static_cast<int>(info.size.height);
    m_bSwap = info.format == SPA_VIDEO_FORMAT_RGBx || info.format == SPA_VIDEO_FORMAT_RGBA;
    {
        std::lock_guard<std::mutex> lock(m_pSignal->mutex);
        m_nAgreedWidth = m_nFormatWidth;
        m_nAgreedHeight = m_nFormatHeight;
        m_pSignal->bArrived = true;
    }
    m_pSignal->cv.notify_all();

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
        try {
            Take(pBuffer->buffer);
        } catch (...) {
            // No room for the picture: the screen cannot be followed. The
            // buffer goes back all the same.
            OnFailed();
        }
        pw_stream_queue_buffer(m_pStream, pBuffer);
    }
}

// The damage the buffer reports, clipped to the picture; false when it
// reports none (no metadata, or no valid rectangle in it).
bool CPipeWireStream::Damage(const spa_buffer* pBuffer, std::vector<CRect>* pvDamage) const {
    spa_meta* pMeta = spa_buffer_find_meta(pBuffer, SPA_META_VideoDamage);
    if (pMeta == nullptr) {
        return false;
    }
    spa_meta_region* pRegion = nullptr;
    bool bAny = false;
    spa_meta_for_each(pRegion, pMeta) {
        if (!spa_meta_region_is_valid(pRegion)) {
            break;
        }
        bAny = true;
        const spa_region& r = pRegion->region;
        const int64_t x0 = std::max<int64_t>(r.position.x, 0);
        const int64_t y0 = std::max<int64_t>(r.position.y, 0);
        const int64_t x1 = std::min<int64_t>(int64_t{r.position.x} + r.size.width, m_nFormatWidth);
        const int64_t y1 =
            std::min<int64_t>(int64_t{r.position.y} + r.size.height, m_nFormatHeight);
        if (x1 > x0 && y1 > y0) {
            pvDamage->push_back({static_cast<int32_t>(x0), static_cast<int32_t>(y0),
                                 static_cast<int32_t>(x1 - x0), static_cast<int32_t>(y1 - y0)});
        }
    }
    return bAny;
}

// Copies what changed in one picture into m_vLatest. A buffer that does not
// hold a whole, sound picture (corrupted, empty, too small) is dropped; the
// next picture is compared whole with the last one taken, which finds what
// the dropped one changed too (its damage is lost with it).
void CPipeWireStream::Take(const spa_buffer* pBuffer) {
    const int nWidth = m_nFormatWidth;
    const int nHeight = m_nFormatHeight;
    if (nWidth == 0 || pBuffer->n_datas < 1) {
        return;
    }
    const auto* pHeader = static_cast<const spa_meta_header*>(
        spa_buffer_find_meta_data(pBuffer, SPA_META_Header, sizeof(spa_meta_header)));
    const spa_data& data = pBuffer->datas[0];
    const size_t nRow = static_cast<size_t>(nWidth) * 4;
    const size_t nStride = data.chunk != nullptr && data.chunk->stride > 0
                               ? static_cast<size_t>(data.chunk->stride)
                               : nRow;
    const size_t nNeeded = nStride * static_cast<size_t>(nHeight - 1) + nRow;
    if ((pHeader != nullptr && (pHeader->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) ||
        (data.type != SPA_DATA_MemFd && data.type != SPA_DATA_MemPtr) || data.data == nullptr ||
        data.chunk == nullptr || data.chunk->size < nNeeded ||
        (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0 || nStride < nRow ||
        data.chunk->offset > data.maxsize || data.maxsize - data.chunk->offset < nNeeded) {
        // The reader hears of it: something may have changed, though what
        // is known only with the next picture.
        m_bDropped = true;
        {
            std::lock_guard<std::mutex> lock(m_pSignal->mutex);
            m_pSignal->bArrived = true;
        }
        m_pSignal->cv.notify_all();
        return;
    }
    const uint8_t* pPixels = static_cast<const uint8_t*>(data.data) + data.chunk->offset;
    const int nStrideInt = static_cast<int>(nStride);

    std::vector<CRect> vDamage;
    const bool bReported = Damage(pBuffer, &vDamage);
    const int64_t nNow = MonotonicUs();
    const bool bAfterDrop = m_bDropped;
    m_bDropped = false;
    if (bAfterDrop || !bReported || nNow >= m_nCheckUs) {
        // No damage told, its damage lost with a dropped buffer, or time to
        // check what was told: the tiles, compared with the last picture
        // taken, say what changed.
        vDamage.clear();
        m_tiles.Compare(pPixels, nStrideInt, nWidth, nHeight, &vDamage);
        m_nCheckUs = nNow + kCheckUs;
    } else if (!vDamage.empty()) {
        // The copy of the previous picture stays true for the next check.
        int nTop = nHeight;
        int nBottom = 0;
        for (const CRect& r : vDamage) {
            nTop = std::min(nTop, static_cast<int>(r.y));
            nBottom = std::max(nBottom, static_cast<int>(r.y + r.h));
        }
        m_tiles.Take(pPixels, nStrideInt, nWidth, nHeight, nTop, nBottom);
    }

    {
        std::lock_guard<std::mutex> lock(m_pSignal->mutex);
        if (nWidth != m_nWidth || nHeight != m_nHeight) {
            m_vLatest.assign(nRow * nHeight, 0);
            m_nWidth = nWidth;
            m_nHeight = nHeight;
            m_bWhole = true;
            m_vChanged.clear();
        }
        if (m_bWhole) {
            vDamage.assign(1, CRect{0, 0, nWidth, nHeight});
        }
        for (const CRect& r : vDamage) {
            CopyRect(pPixels, nStride, r.x, r.y, m_vLatest.data(), nRow, r.x, r.y, r.w, r.h,
                     m_bSwap);
            AddChanged(r);
        }
        m_pSignal->bArrived = m_pSignal->bArrived || !vDamage.empty();
    }
    m_pSignal->cv.notify_all();
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

void CPipeWireStream::Collect(uint8_t* pCanvas, size_t nStride, int x, int y, bool bAll,
                              std::vector<CRect>* pvChanged) {
    if (m_vLatest.empty()) {
        return;
    }
    if (bAll || m_bWhole) {
        m_vChanged.assign(1, CRect{0, 0, m_nWidth, m_nHeight});
    }
    const size_t nRow = static_cast<size_t>(m_nWidth) * 4;
    for (const CRect& r : m_vChanged) {
        CopyRect(m_vLatest.data(), nRow, r.x, r.y, pCanvas, nStride, x + r.x, y + r.y, r.w, r.h,
                 false);
        pvChanged->push_back(CRect{x + r.x, y + r.y, r.w, r.h});
    }
    m_vChanged.clear();
    m_bWhole = false;
}

}  // namespace dvengine
