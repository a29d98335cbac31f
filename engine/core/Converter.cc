#include "engine/core/Converter.h"

#include <algorithm>
#include <cstring>

extern "C" {
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
        const int nCols = nPlane == 0 ? pFrame->width : (pFrame->width + 1) / 2;
        for (int y = 0; y < nRows; ++y) {
            std::memset(pFrame->data[nPlane] + static_cast<size_t>(y) * pFrame->linesize[nPlane],
                        nPlane == 0 ? 16 : 128, static_cast<size_t>(nCols));
        }
    }
}

}  // namespace

CConverter::~CConverter() = default;

HRESULT CConverter::Open(int nWidth, int nHeight) {
    const int nW = nWidth & ~1;
    const int nH = nHeight & ~1;
    if (nW < 2 || nH < 2) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = m_ring.Open(CPictureLayout::Plain(nW, nH));
    if (FAILED(hr)) {
        return hr;
    }
    m_pPicture = m_ring.Writable();
    if (m_pPicture == nullptr) {
        return E_OUTOFMEMORY;
    }
    m_target = CRect{0, 0, nW, nH};
    return S_OK;
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
    m_vCovered.clear();
    if (!bResized && m_vScaled.empty()) {
        for (const CRect& r : frame.vChanged) {
            m_vCovered.push_back(Widened(frame, r));
        }
    }
    m_pPicture = m_ring.Writable(m_vCovered);
    if (m_pPicture == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (bResized) {
        Fit(frame.nWidth, frame.nHeight);
        FillBlack(m_pPicture);
        m_ring.WrittenAll();
    }
    if (!m_vScaled.empty()) {
        ConvertScaled(frame);
    } else if (bResized) {
        ConvertRect(frame, Widened(frame, CRect{0, 0, frame.nWidth, frame.nHeight}));
    } else {
        for (const CRect& w : m_vCovered) {
            ConvertRect(frame, w);
        }
        pvChanged->insert(pvChanged->end(), frame.vChanged.begin(), frame.vChanged.end());
        return S_OK;
    }
    pvChanged->push_back(CRect{0, 0, m_pPicture->width, m_pPicture->height});
    return S_OK;
}

CRect CConverter::Widened(const CScreenFrame& frame, const CRect& r) {
    const int nLeft = std::max(r.x, 0) & ~1;
    const int nTop = std::max(r.y, 0) & ~1;
    const int nRight = std::min((r.x + r.w + 1) & ~1, frame.nWidth);
    const int nBottom = std::min((r.y + r.h + 1) & ~1, frame.nHeight);
    return CRect{nLeft, nTop, std::max(nRight - nLeft, 0), std::max(nBottom - nTop, 0)};
}

// One rectangle, as Widened() gives it, of a screen the picture's size (or
// one smaller on an odd side).
void CConverter::ConvertRect(const CScreenFrame& frame, const CRect& w) {
    const int nLeft = w.x, nTop = w.y, nRight = w.x + w.w, nBottom = w.y + w.h;
    if (w.w <= 0 || w.h <= 0) {
        return;
    }
    AVFrame* p = m_pPicture;
    libyuv::ARGBToI420(
        frame.pPixels + static_cast<size_t>(nTop) * frame.nStride + nLeft * 4, frame.nStride,
        p->data[0] + static_cast<size_t>(nTop) * p->linesize[0] + nLeft, p->linesize[0],
        p->data[1] + static_cast<size_t>(nTop / 2) * p->linesize[1] + nLeft / 2, p->linesize[1],
        p->data[2] + static_cast<size_t>(nTop / 2) * p->linesize[2] + nLeft / 2, p->linesize[2],
        nRight - nLeft, nBottom - nTop);
    m_ring.Written(CRect{nLeft, nTop, nRight - nLeft, nBottom - nTop});
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
    m_ring.Written(t);
}

}  // namespace dvengine
