#include "engine/core/Converter.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}
#include <libyuv/convert.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

namespace dvengine {
namespace {

void FillBlack(AVFrame* pFrame) {
    for (int nPlane = 0; nPlane < 3; ++nPlane) {
        const int nRows = nPlane == 0 ? pFrame->height : (pFrame->height + 1) / 2;
        std::memset(pFrame->data[nPlane], nPlane == 0 ? 16 : 128,
                    static_cast<size_t>(pFrame->linesize[nPlane]) * nRows);
    }
}

}  // namespace

CConverter::~CConverter() {
    av_frame_free(&m_pPicture);
    // Buffers still out return to nothing and are freed then.
    av_buffer_pool_uninit(&m_pPool);
}

HRESULT CConverter::Open(int nWidth, int nHeight) {
    m_pPicture = av_frame_alloc();
    if (m_pPicture == nullptr) {
        return E_OUTOFMEMORY;
    }
    m_pPicture->format = 0;  // AV_PIX_FMT_YUV420P
    m_pPicture->width = nWidth & ~1;
    m_pPicture->height = nHeight & ~1;
    if (m_pPicture->width < 2 || m_pPicture->height < 2 || av_frame_get_buffer(m_pPicture, 0) < 0) {
        return E_OUTOFMEMORY;
    }
    FillBlack(m_pPicture);
    m_target = CRect{0, 0, m_pPicture->width, m_pPicture->height};
    for (int nPlane = 0; nPlane < 3; ++nPlane) {
        const int nRows = nPlane == 0 ? m_pPicture->height : m_pPicture->height / 2;
        m_rgcbPlane[nPlane] = static_cast<size_t>(m_pPicture->linesize[nPlane]) * nRows;
    }
    m_pPool =
        av_buffer_pool_init(m_rgcbPlane[0] + m_rgcbPlane[1] + m_rgcbPlane[2] + 64, av_buffer_alloc);
    return m_pPool != nullptr ? S_OK : E_OUTOFMEMORY;
}

// Where a screen of this size goes in the picture: all of it when the sizes
// match (an odd side padded to the picture's even one), else as large as fits
// with its aspect kept, centred, on even coordinates.
void CConverter::Fit(int nScreenWidth, int nScreenHeight) {
    m_nScreenWidth = nScreenWidth;
    m_nScreenHeight = nScreenHeight;
    const int nWidth = m_pPicture->width;
    const int nHeight = m_pPicture->height;
    if (((nScreenWidth + 1) & ~1) == nWidth && ((nScreenHeight + 1) & ~1) == nHeight) {
        m_target = CRect{0, 0, nScreenWidth, nScreenHeight};
        m_vScaled.clear();
        m_vScaled.shrink_to_fit();
        return;
    }
    int nW = nWidth;
    int nH = static_cast<int>(static_cast<int64_t>(nScreenHeight) * nWidth / nScreenWidth);
    if (nH > nHeight) {
        nH = nHeight;
        nW = static_cast<int>(static_cast<int64_t>(nScreenWidth) * nHeight / nScreenHeight);
    }
    nW = std::max(nW & ~1, 2);
    nH = std::max(nH & ~1, 2);
    m_target = CRect{((nWidth - nW) / 2) & ~1, ((nHeight - nH) / 2) & ~1, nW, nH};
    m_vScaled.resize(static_cast<size_t>(nW) * nH * 4);
}

HRESULT CConverter::Update(const CScreenFrame& frame, std::vector<CRect>* pvChanged) {
    if (frame.pPixels == nullptr || frame.nWidth < 1 || frame.nHeight < 1) {
        return S_OK;
    }
    const bool bResized = frame.nWidth != m_nScreenWidth || frame.nHeight != m_nScreenHeight;
    if (!bResized && frame.vChanged.empty()) {
        return S_OK;
    }
    if (bResized) {
        Fit(frame.nWidth, frame.nHeight);
        FillBlack(m_pPicture);
    }
    if (!m_vScaled.empty()) {
        ConvertScaled(frame);
    } else if (bResized) {
        ConvertRect(frame, CRect{0, 0, frame.nWidth, frame.nHeight});
    } else {
        for (const CRect& r : frame.vChanged) {
            ConvertRect(frame, r);
        }
        pvChanged->insert(pvChanged->end(), frame.vChanged.begin(), frame.vChanged.end());
        return S_OK;
    }
    pvChanged->push_back(CRect{0, 0, m_pPicture->width, m_pPicture->height});
    return S_OK;
}

// One rectangle of a screen the picture's size (or one smaller on an odd
// side), widened to even coordinates (a chroma sample covers 2x2 pixels) but
// never past the screen's edge.
void CConverter::ConvertRect(const CScreenFrame& frame, CRect r) {
    const int nLeft = std::max(r.x, 0) & ~1;
    const int nTop = std::max(r.y, 0) & ~1;
    const int nRight = std::min((r.x + r.w + 1) & ~1, frame.nWidth);
    const int nBottom = std::min((r.y + r.h + 1) & ~1, frame.nHeight);
    if (nRight <= nLeft || nBottom <= nTop) {
        return;
    }
    AVFrame* p = m_pPicture;
    libyuv::ARGBToI420(
        frame.pPixels + static_cast<size_t>(nTop) * frame.nStride + nLeft * 4, frame.nStride,
        p->data[0] + static_cast<size_t>(nTop) * p->linesize[0] + nLeft, p->linesize[0],
        p->data[1] + static_cast<size_t>(nTop / 2) * p->linesize[1] + nLeft / 2, p->linesize[1],
        p->data[2] + static_cast<size_t>(nTop / 2) * p->linesize[2] + nLeft / 2, p->linesize[2],
        nRight - nLeft, nBottom - nTop);
}

// The whole screen scaled into the target rectangle.
void CConverter::ConvertScaled(const CScreenFrame& frame) {
    const CRect& t = m_target;
    libyuv::ARGBScale(frame.pPixels, frame.nStride, frame.nWidth, frame.nHeight, m_vScaled.data(),
                      t.w * 4, t.w, t.h, libyuv::kFilterBox);
    AVFrame* p = m_pPicture;
    libyuv::ARGBToI420(
        m_vScaled.data(), t.w * 4, p->data[0] + static_cast<size_t>(t.y) * p->linesize[0] + t.x,
        p->linesize[0], p->data[1] + static_cast<size_t>(t.y / 2) * p->linesize[1] + t.x / 2,
        p->linesize[1], p->data[2] + static_cast<size_t>(t.y / 2) * p->linesize[2] + t.x / 2,
        p->linesize[2], t.w, t.h);
}

AVFrame* CConverter::Picture(int64_t nPts) {
    AVFrame* pFrame = av_frame_alloc();
    AVBufferRef* pBuffer = pFrame != nullptr ? av_buffer_pool_get(m_pPool) : nullptr;
    if (pBuffer == nullptr) {
        av_frame_free(&pFrame);
        return nullptr;
    }
    pFrame->buf[0] = pBuffer;
    pFrame->format = m_pPicture->format;
    pFrame->width = m_pPicture->width;
    pFrame->height = m_pPicture->height;
    pFrame->pts = nPts;
    uint8_t* p = pBuffer->data;
    for (int nPlane = 0; nPlane < 3; ++nPlane) {
        pFrame->data[nPlane] = p;
        pFrame->linesize[nPlane] = m_pPicture->linesize[nPlane];
        std::memcpy(p, m_pPicture->data[nPlane], m_rgcbPlane[nPlane]);
        p += m_rgcbPlane[nPlane];
    }
    return pFrame;
}

}  // namespace dvengine
