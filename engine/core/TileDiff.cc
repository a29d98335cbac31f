#include "engine/core/TileDiff.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace dvengine {
namespace {

// Whether n pixels differ in their colour bytes (the fourth byte ignored).
bool PixelsDiffer(const uint8_t* pA, const uint8_t* pB, int nPixels) {
    const size_t cb = static_cast<size_t>(nPixels) * 4;
    if (std::memcmp(pA, pB, cb) == 0) {
        return false;
    }
    for (int i = 0; i < nPixels; ++i) {
        uint32_t a = 0;
        uint32_t b = 0;
        std::memcpy(&a, pA + 4 * i, 4);
        std::memcpy(&b, pB + 4 * i, 4);
        if (((a ^ b) & 0x00FFFFFFu) != 0) {
            return true;
        }
    }
    return false;
}

void AppendMerged(const CRect& rect, size_t iRowStart, std::vector<CRect>* pv) {
    // An equal run directly above (added for the previous tile row) grows
    // down instead of adding a rectangle.
    for (size_t i = iRowStart; i-- > 0;) {
        CRect& above = (*pv)[i];
        if (above.y + above.h < rect.y) {
            break;
        }
        if (above.x == rect.x && above.w == rect.w && above.y + above.h == rect.y) {
            above.h += rect.h;
            return;
        }
    }
    pv->push_back(rect);
}

}  // namespace

bool CTileDiff::Fit(int nWidth, int nHeight) {
    if (m_bValid && nWidth == m_nWidth && nHeight == m_nHeight) {
        return true;
    }
    m_bValid = false;
    try {
        m_vCopy.assign(static_cast<size_t>(nWidth) * static_cast<size_t>(nHeight) * 4, 0);
    } catch (const std::bad_alloc&) {
        m_vCopy.clear();
        m_vCopy.shrink_to_fit();
        return false;
    }
    m_nWidth = nWidth;
    m_nHeight = nHeight;
    return true;
}

void CTileDiff::Take(const uint8_t* pPixels, int nStride, int nWidth, int nHeight, int nFromRow,
                     int nToRow) {
    if (pPixels == nullptr || nWidth <= 0 || nHeight <= 0) {
        return;
    }
    const bool bWhole = !m_bValid || nWidth != m_nWidth || nHeight != m_nHeight;
    if (!Fit(nWidth, nHeight)) {
        return;
    }
    const int nFrom = bWhole ? 0 : std::max(0, nFromRow);
    const int nTo = bWhole ? nHeight : std::min(nHeight, nToRow);
    const size_t cbRow = static_cast<size_t>(nWidth) * 4;
    for (int y = nFrom; y < nTo; ++y) {
        std::memcpy(&m_vCopy[y * cbRow], pPixels + static_cast<ptrdiff_t>(y) * nStride, cbRow);
    }
    m_bValid = m_bValid || bWhole;
}

void CompareTiles(const uint8_t* pNew, int nNewStride, uint8_t* pOld, int nOldStride, int nWidth,
                  int nTop, int nRows, std::vector<CRect>* pvChanged) {
    constexpr int kTile = CTileDiff::kTile;
    const size_t cbRow = static_cast<size_t>(nWidth) * 4;
    for (int y0 = 0; y0 < nRows; y0 += kTile) {
        const int nTileRows = std::min(kTile, nRows - y0);
        const uint8_t* pNewRow = pNew + static_cast<ptrdiff_t>(y0) * nNewStride;
        uint8_t* pOldRow = pOld + static_cast<ptrdiff_t>(y0) * nOldStride;
        // Most rows of a screen are as they were: one comparison a row
        // before looking at its tiles.
        bool bRowsDiffer = false;
        for (int y = 0; y < nTileRows && !bRowsDiffer; ++y) {
            bRowsDiffer = std::memcmp(pNewRow + static_cast<ptrdiff_t>(y) * nNewStride,
                                      pOldRow + static_cast<ptrdiff_t>(y) * nOldStride, cbRow) != 0;
        }
        if (!bRowsDiffer) {
            continue;
        }
        const size_t iRowStart = pvChanged->size();
        int xRun = -1;
        for (int x0 = 0; x0 < nWidth; x0 += kTile) {
            const int nCols = std::min(kTile, nWidth - x0);
            bool bChanged = false;
            for (int y = 0; y < nTileRows && !bChanged; ++y) {
                bChanged =
                    PixelsDiffer(pNewRow + static_cast<ptrdiff_t>(y) * nNewStride + 4 * x0,
                                 pOldRow + static_cast<ptrdiff_t>(y) * nOldStride + 4 * x0, nCols);
            }
            if (bChanged) {
                for (int y = 0; y < nTileRows; ++y) {
                    std::memcpy(pOldRow + static_cast<ptrdiff_t>(y) * nOldStride + 4 * x0,
                                pNewRow + static_cast<ptrdiff_t>(y) * nNewStride + 4 * x0,
                                static_cast<size_t>(nCols) * 4);
                }
                if (xRun < 0) {
                    xRun = x0;
                }
            }
            if ((!bChanged || x0 + kTile >= nWidth) && xRun >= 0) {
                const int xEnd = bChanged ? nWidth : x0;
                AppendMerged(CRect{xRun, nTop + y0, xEnd - xRun, nTileRows}, iRowStart, pvChanged);
                xRun = -1;
            }
        }
    }
}

void CTileDiff::Compare(const uint8_t* pPixels, int nStride, int nWidth, int nHeight, int nFromRow,
                        int nToRow, std::vector<CRect>* pvChanged) {
    if (pPixels == nullptr || nWidth <= 0 || nHeight <= 0) {
        return;
    }
    if (!m_bValid || nWidth != m_nWidth || nHeight != m_nHeight) {
        Take(pPixels, nStride, nWidth, nHeight, 0, nHeight);
        pvChanged->push_back(CRect{0, 0, nWidth, nHeight});
        return;
    }
    const int nCopyStride = nWidth * 4;
    const int nFrom = std::max(0, nFromRow) / kTile * kTile;
    const int nTo = std::min(nHeight, nToRow);
    if (nFrom < nTo) {
        CompareTiles(pPixels + static_cast<ptrdiff_t>(nFrom) * nStride, nStride,
                     &m_vCopy[static_cast<size_t>(nFrom) * nCopyStride], nCopyStride, nWidth, nFrom,
                     nTo - nFrom, pvChanged);
    }
}

void AddReported(const std::vector<CRect>& vReported, const CRect& rcOutput,
                 std::vector<CRect>* pvChanged) {
    for (const CRect& r : vReported) {
        const int32_t x0 = std::max(r.x, 0);
        const int32_t y0 = std::max(r.y, 0);
        const int32_t x1 = std::min(r.x + r.w, rcOutput.w);
        const int32_t y1 = std::min(r.y + r.h, rcOutput.h);
        if (x1 > x0 && y1 > y0) {
            pvChanged->push_back(CRect{rcOutput.x + x0, rcOutput.y + y0, x1 - x0, y1 - y0});
        }
    }
}

void CTileDiff::Reset() {
    m_bValid = false;
}

}  // namespace dvengine
