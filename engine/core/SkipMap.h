// Which macroblocks of a picture the WMV2 encoder may skip: those that no
// rectangle changed since the picture encoded before it touches. Our FFmpeg
// codes them in a P-picture as "skipped" (zero motion, no residual, no bits
// of their own) without searching motion, so an unchanged screen costs
// almost nothing; key frames code every macroblock whatever the map says.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/core/ScreenSource.h"

struct AVBufferRef;
struct AVFrame;

namespace dvengine {

// The encoder's macroblock: 16x16 picture pixels (8x8 of each chroma plane).
constexpr int kMacroblockSize = 16;

// One byte per macroblock in raster order, (nWidth + 15) / 16 per row and
// (nHeight + 15) / 16 rows: 1 where the macroblock is unchanged, 0 where a
// changed rectangle touches it. vChanged is in picture coordinates, anything
// outside the picture ignored; each rectangle is first grown by nGrowPx on
// every side (the reach of a scaler's filter, when the screen is scaled into
// the picture). Empty for a picture without pixels.
std::vector<uint8_t> BuildSkipMap(const std::vector<CRect>& vChanged, int nWidth, int nHeight,
                                  int nGrowPx = 0);

// Hands the encoder the map of what changed in pFrame (its width and height)
// since the previous encoded picture: every change since then, including
// those of pictures that were dropped and never encoded. Replaces any map the
// frame carried. False when the map cannot be allocated; the frame then
// carries none, and every macroblock is coded.
bool AttachSkipMap(AVFrame* pFrame, const std::vector<CRect>& vChanged, int nGrowPx = 0);

// Removes the frame's map: every macroblock of the picture is coded (the
// frame after a size change, or a refinement of the whole picture).
void DetachSkipMap(AVFrame* pFrame);

// The map of a picture in which nothing changed, one buffer shared by every
// frame it is attached to (the encoder only reads it): a picture that fills
// an empty slot allocates no map of its own. From any thread.
class CAllSkippedMap {
public:
    CAllSkippedMap() = default;
    ~CAllSkippedMap();
    CAllSkippedMap(const CAllSkippedMap&) = delete;
    CAllSkippedMap& operator=(const CAllSkippedMap&) = delete;

    // What AttachSkipMap(pFrame, {}) does.
    bool Attach(AVFrame* pFrame);

private:
    std::mutex m_mutex;
    AVBufferRef* m_pMap = nullptr;  // for the last size attached
};

}  // namespace dvengine
