#include "engine/core/SkipMap.h"

#include <algorithm>

extern "C" {
#include <libavutil/frame.h>
}

namespace dvengine {
namespace {

// Macroblocks per row and rows; 0 for a picture without pixels.
int64_t MbWidth(int nWidth) {
    return nWidth > 0 ? (int64_t{nWidth} + kMacroblockSize - 1) / kMacroblockSize : 0;
}
int64_t MbHeight(int nHeight) {
    return nHeight > 0 ? (int64_t{nHeight} + kMacroblockSize - 1) / kMacroblockSize : 0;
}

// Fills pMap (MbWidth * MbHeight bytes).
void FillSkipMap(const std::vector<CRect>& vChanged, int nWidth, int nHeight, int nGrowPx,
                 uint8_t* pMap) {
    const int64_t nMbWidth = MbWidth(nWidth);
    std::fill(pMap, pMap + nMbWidth * MbHeight(nHeight), uint8_t{1});
    const int64_t nGrow = std::max(nGrowPx, 0);
    for (const CRect& rc : vChanged) {
        if (rc.w <= 0 || rc.h <= 0) {
            continue;
        }
        // 64 bits: a rectangle near the ends of int32_t must not wrap.
        const int64_t x0 = std::max<int64_t>(int64_t{rc.x} - nGrow, 0);
        const int64_t y0 = std::max<int64_t>(int64_t{rc.y} - nGrow, 0);
        const int64_t x1 = std::min<int64_t>(int64_t{rc.x} + rc.w + nGrow, nWidth);
        const int64_t y1 = std::min<int64_t>(int64_t{rc.y} + rc.h + nGrow, nHeight);
        if (x0 >= x1 || y0 >= y1) {
            continue;
        }
        // Every macroblock holding a pixel of [x0, x1) x [y0, y1).
        const int64_t nMbX0 = x0 / kMacroblockSize;
        const int64_t nMbX1 = (x1 - 1) / kMacroblockSize;
        const int64_t nMbY1 = (y1 - 1) / kMacroblockSize;
        for (int64_t nMbY = y0 / kMacroblockSize; nMbY <= nMbY1; ++nMbY) {
            uint8_t* pRow = pMap + nMbY * nMbWidth;
            std::fill(pRow + nMbX0, pRow + nMbX1 + 1, uint8_t{0});
        }
    }
}

}  // namespace

std::vector<uint8_t> BuildSkipMap(const std::vector<CRect>& vChanged, int nWidth, int nHeight,
                                  int nGrowPx) {
    std::vector<uint8_t> vMap(static_cast<size_t>(MbWidth(nWidth) * MbHeight(nHeight)));
    FillSkipMap(vChanged, nWidth, nHeight, nGrowPx, vMap.data());
    return vMap;
}

#ifdef DESKVID_SYSTEM_FFMPEG
// The system's FFmpeg has no skip map: every macroblock is coded.
bool AttachSkipMap(AVFrame*, const std::vector<CRect>&, int) {
    return false;
}

void DetachSkipMap(AVFrame*) {}

CAllSkippedMap::~CAllSkippedMap() = default;

bool CAllSkippedMap::Attach(AVFrame*) {
    return false;
}
#else
bool AttachSkipMap(AVFrame* pFrame, const std::vector<CRect>& vChanged, int nGrowPx) {
    DetachSkipMap(pFrame);
    const int64_t nSize = MbWidth(pFrame->width) * MbHeight(pFrame->height);
    if (nSize == 0) {
        return true;
    }
    AVFrameSideData* pData =
        av_frame_new_side_data(pFrame, AV_FRAME_DATA_MB_SKIP_MAP, static_cast<size_t>(nSize));
    if (pData == nullptr) {
        return false;
    }
    FillSkipMap(vChanged, pFrame->width, pFrame->height, nGrowPx, pData->data);
    return true;
}

void DetachSkipMap(AVFrame* pFrame) {
    av_frame_remove_side_data(pFrame, AV_FRAME_DATA_MB_SKIP_MAP);
}

CAllSkippedMap::~CAllSkippedMap() {
    av_buffer_unref(&m_pMap);
}

bool CAllSkippedMap::Attach(AVFrame* pFrame) {
    DetachSkipMap(pFrame);
    const int64_t nSize = MbWidth(pFrame->width) * MbHeight(pFrame->height);
    if (nSize == 0) {
        return true;
    }
    AVBufferRef* pRef = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pMap == nullptr || m_pMap->size != static_cast<size_t>(nSize)) {
            av_buffer_unref(&m_pMap);
            m_pMap = av_buffer_alloc(static_cast<size_t>(nSize));
            if (m_pMap == nullptr) {
                return false;
            }
            FillSkipMap({}, pFrame->width, pFrame->height, 0, m_pMap->data);
        }
        pRef = av_buffer_ref(m_pMap);
    }
    if (pRef == nullptr) {
        return false;
    }
    if (av_frame_new_side_data_from_buf(pFrame, AV_FRAME_DATA_MB_SKIP_MAP, pRef) == nullptr) {
        av_buffer_unref(&pRef);
        return false;
    }
    return true;
}
#endif

}  // namespace dvengine
