#include "engine/core/PictureRing.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

namespace dvengine {
namespace {

// The encoder's pictures carry a border of 16 pixels on every side (for
// motion vectors that point outside); it allocates them this much larger.
constexpr int kEncoderBorder = 2 * 16;
// Plane starts and lines aligned for any SIMD the encoder uses (FFmpeg takes
// an input without a copy only when its first plane is aligned so).
constexpr size_t kAlign = 64;
// The encoder holds at most three pictures (queued, being encoded, the one
// before); one more is being written.
constexpr size_t kMaxSlots = 6;
// Rectangles a buffer remembers before it catches up on the whole picture.
constexpr size_t kMaxStale = 32;

size_t AlignUp(size_t n) {
    return (n + kAlign - 1) & ~(kAlign - 1);
}

int PlaneShift(int nPlane) {
    return nPlane == 0 ? 0 : 1;
}

}  // namespace

CPictureLayout CPictureLayout::Plain(int nWidth, int nHeight) {
    CPictureLayout layout;
    layout.nWidth = nWidth;
    layout.nHeight = nHeight;
    layout.nPaddedWidth = (nWidth + 15) & ~15;
    layout.nPaddedHeight = (nHeight + 15) & ~15;
    layout.rgnLinesize[0] = static_cast<int>(AlignUp(static_cast<size_t>(layout.nPaddedWidth)));
    layout.rgnLinesize[1] = static_cast<int>(AlignUp(static_cast<size_t>(layout.nPaddedWidth / 2)));
    layout.rgnLinesize[2] = layout.rgnLinesize[1];
    return layout;
}

CPictureLayout CPictureLayout::Of(AVCodecContext* pEnc) {
    CPictureLayout layout = Plain(pEnc->width, pEnc->height);
    // The encoder allocates its pictures with the codec's default allocator
    // at this size: the same call tells their line sizes.
    AVFrame* pProbe = av_frame_alloc();
    if (pProbe == nullptr) {
        return layout;
    }
    pProbe->format = pEnc->pix_fmt;
    pProbe->width = pEnc->width + kEncoderBorder;
    pProbe->height = pEnc->height + kEncoderBorder;
    if (avcodec_default_get_buffer2(pEnc, pProbe, 0) >= 0 &&
        pProbe->linesize[0] >= layout.nPaddedWidth &&
        pProbe->linesize[1] >= layout.nPaddedWidth / 2 &&
        pProbe->linesize[1] == pProbe->linesize[2]) {
        for (int p = 0; p < 3; ++p) {
            layout.rgnLinesize[p] = pProbe->linesize[p];
        }
    }
    av_frame_free(&pProbe);
    return layout;
}

size_t CPictureLayout::PlaneOffset(int nPlane) const {
    size_t cb = 0;
    for (int p = 0; p < nPlane; ++p) {
        cb += AlignUp(static_cast<size_t>(rgnLinesize[p]) * (nPaddedHeight >> PlaneShift(p)));
    }
    return cb;
}

size_t CPictureLayout::Size() const {
    return PlaneOffset(3);
}

bool CPictureLayout::operator==(const CPictureLayout& o) const {
    return nWidth == o.nWidth && nHeight == o.nHeight && nPaddedWidth == o.nPaddedWidth &&
           nPaddedHeight == o.nPaddedHeight &&
           std::equal(rgnLinesize, rgnLinesize + 3, o.rgnLinesize);
}

CPictureRing::CPictureRing() = default;

CPictureRing::~CPictureRing() {
    Release();
    av_frame_free(&m_pView);
}

void CPictureRing::Release() {
    // Buffers the encoder still holds are freed when it lets them go.
    for (CSlot& slot : m_vSlots) {
        av_buffer_unref(&slot.pBuffer);
    }
    m_vSlots.clear();
    m_nLatest = -1;
}

bool CPictureRing::Allocate(CSlot* pSlot) const {
    pSlot->pBuffer = av_buffer_alloc(m_layout.Size() + kAlign);
    if (pSlot->pBuffer == nullptr) {
        return false;
    }
    const uintptr_t nAddr = reinterpret_cast<uintptr_t>(pSlot->pBuffer->data);
    uint8_t* pBase = pSlot->pBuffer->data + (AlignUp(nAddr) - nAddr);
    for (int p = 0; p < 3; ++p) {
        pSlot->rgpPlane[p] = pBase + m_layout.PlaneOffset(p);
    }
    pSlot->bAllStale = true;
    pSlot->vStale.clear();
    return true;
}

HRESULT CPictureRing::Open(const CPictureLayout& layout) {
    if (m_pView == nullptr && (m_pView = av_frame_alloc()) == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (m_nLatest >= 0 && layout == m_layout) {
        return S_OK;
    }
    const CPictureLayout old = m_layout;
    m_layout = layout;
    CSlot slot;
    if (!Allocate(&slot)) {
        m_layout = old;
        return E_OUTOFMEMORY;
    }
    for (int p = 0; p < 3; ++p) {
        const int nShift = PlaneShift(p);
        const size_t cbRow = static_cast<size_t>(layout.nPaddedWidth >> nShift);
        for (int y = 0; y < layout.nPaddedHeight >> nShift; ++y) {
            uint8_t* pRow = slot.rgpPlane[p] + static_cast<size_t>(y) * layout.rgnLinesize[p];
            if (m_nLatest >= 0 && old.nPaddedWidth == layout.nPaddedWidth &&
                old.nPaddedHeight == layout.nPaddedHeight) {
                std::memcpy(
                    pRow,
                    m_vSlots[m_nLatest].rgpPlane[p] + static_cast<size_t>(y) * old.rgnLinesize[p],
                    cbRow);
            } else {
                std::memset(pRow, p == 0 ? 16 : 128, cbRow);
            }
        }
    }
    Release();
    slot.bAllStale = false;
    m_vSlots.push_back(std::move(slot));
    m_nLatest = 0;
    return S_OK;
}

void CPictureRing::View(const CSlot& slot, AVFrame* pFrame) const {
    pFrame->format = 0;  // AV_PIX_FMT_YUV420P
    pFrame->width = m_layout.nWidth;
    pFrame->height = m_layout.nHeight;
    for (int p = 0; p < 3; ++p) {
        pFrame->data[p] = slot.rgpPlane[p];
        pFrame->linesize[p] = m_layout.rgnLinesize[p];
    }
}

AVFrame* CPictureRing::Writable(const std::vector<CRect>& vCovered) {
    if (m_nLatest < 0) {
        return nullptr;
    }
    if (av_buffer_is_writable(m_vSlots[m_nLatest].pBuffer) == 0) {
        // The encoder holds the latest picture: another buffer takes over.
        int nFree = -1;
        for (size_t i = 0; i < m_vSlots.size() && nFree < 0; ++i) {
            if (static_cast<int>(i) != m_nLatest && av_buffer_is_writable(m_vSlots[i].pBuffer)) {
                nFree = static_cast<int>(i);
            }
        }
        if (nFree < 0) {
            CSlot slot;
            if (m_vSlots.size() >= kMaxSlots || !Allocate(&slot)) {
                av_buffer_unref(&slot.pBuffer);
                return nullptr;
            }
            m_vSlots.push_back(std::move(slot));
            nFree = static_cast<int>(m_vSlots.size()) - 1;
        }
        CatchUp(&m_vSlots[nFree], m_vSlots[m_nLatest], vCovered);
        m_nLatest = nFree;
    }
    View(m_vSlots[m_nLatest], m_pView);
    return m_pView;
}

void CPictureRing::CatchUp(CSlot* pSlot, const CSlot& latest,
                           const std::vector<CRect>& vCovered) const {
    // A window playing video changes the same rectangle in every picture:
    // what the next write covers need not be copied first.
    auto Covered = [&vCovered](const CRect& r) {
        return std::any_of(vCovered.begin(), vCovered.end(), [&r](const CRect& c) {
            return r.x >= c.x && r.y >= c.y && r.x + r.w <= c.x + c.w && r.y + r.h <= c.y + c.h;
        });
    };
    if (pSlot->bAllStale) {
        std::memcpy(pSlot->rgpPlane[0], latest.rgpPlane[0], m_layout.Size());
    } else {
        for (const CRect& r : pSlot->vStale) {
            if (!Covered(r)) {
                CopyRect(latest, *pSlot, r);
            }
        }
    }
    pSlot->vStale.clear();
    pSlot->bAllStale = false;
}

// A rectangle of the picture in each plane, with the padding beyond the
// picture's right and bottom edges when it reaches them.
void CPictureRing::CopyRect(const CSlot& from, const CSlot& to, CRect r) const {
    for (int p = 0; p < 3; ++p) {
        const int nShift = PlaneShift(p);
        const int nW = m_layout.nWidth >> nShift;
        const int nH = m_layout.nHeight >> nShift;
        const int x0 = r.x >> nShift;
        const int y0 = r.y >> nShift;
        int x1 = std::min((r.x + r.w + nShift) >> nShift, nW);
        int y1 = std::min((r.y + r.h + nShift) >> nShift, nH);
        if (x1 >= nW) {
            x1 = m_layout.nPaddedWidth >> nShift;
        }
        if (y1 >= nH) {
            y1 = m_layout.nPaddedHeight >> nShift;
        }
        const size_t nLine = static_cast<size_t>(m_layout.rgnLinesize[p]);
        for (int y = y0; y < y1; ++y) {
            std::memcpy(to.rgpPlane[p] + y * nLine + x0, from.rgpPlane[p] + y * nLine + x0,
                        static_cast<size_t>(x1 - x0));
        }
    }
}

// The padding repeats the picture's last column and row.
void CPictureRing::Pad(const CSlot& slot, const CRect& r) const {
    for (int p = 0; p < 3; ++p) {
        const int nShift = PlaneShift(p);
        const int nW = m_layout.nWidth >> nShift;
        const int nH = m_layout.nHeight >> nShift;
        const int nPadW = m_layout.nPaddedWidth >> nShift;
        const int nPadH = m_layout.nPaddedHeight >> nShift;
        const size_t nLine = static_cast<size_t>(m_layout.rgnLinesize[p]);
        uint8_t* pPlane = slot.rgpPlane[p];
        if (((r.x + r.w + nShift) >> nShift) >= nW && nPadW > nW) {
            const int y1 = std::min((r.y + r.h + nShift) >> nShift, nH);
            for (int y = r.y >> nShift; y < y1; ++y) {
                uint8_t* pRow = pPlane + y * nLine;
                std::memset(pRow + nW, pRow[nW - 1], static_cast<size_t>(nPadW - nW));
            }
        }
        if (((r.y + r.h + nShift) >> nShift) >= nH) {
            for (int y = nH; y < nPadH; ++y) {
                std::memcpy(pPlane + y * nLine, pPlane + (nH - 1) * nLine,
                            static_cast<size_t>(nPadW));
            }
        }
    }
}

void CPictureRing::Written(const CRect& rIn) {
    const int x0 = std::max(rIn.x, 0);
    const int y0 = std::max(rIn.y, 0);
    const int x1 = std::min(rIn.x + rIn.w, m_layout.nWidth);
    const int y1 = std::min(rIn.y + rIn.h, m_layout.nHeight);
    if (m_nLatest < 0 || x1 <= x0 || y1 <= y0) {
        return;
    }
    const CRect r{x0, y0, x1 - x0, y1 - y0};
    Pad(m_vSlots[m_nLatest], r);
    for (size_t i = 0; i < m_vSlots.size(); ++i) {
        CSlot& slot = m_vSlots[i];
        if (static_cast<int>(i) == m_nLatest || slot.bAllStale) {
            continue;
        }
        if (slot.vStale.size() >= kMaxStale) {
            slot.bAllStale = true;
            slot.vStale.clear();
        } else {
            slot.vStale.push_back(r);
        }
    }
}

AVFrame* CPictureRing::Hand(int64_t nPts) {
    if (m_nLatest < 0) {
        return nullptr;
    }
    AVFrame* pFrame = av_frame_alloc();
    AVBufferRef* pBuffer = pFrame != nullptr ? av_buffer_ref(m_vSlots[m_nLatest].pBuffer) : nullptr;
    if (pBuffer == nullptr) {
        av_frame_free(&pFrame);
        return nullptr;
    }
    pFrame->buf[0] = pBuffer;
    View(m_vSlots[m_nLatest], pFrame);
    pFrame->pts = nPts;
    return pFrame;
}

}  // namespace dvengine
