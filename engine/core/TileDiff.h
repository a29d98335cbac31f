// Finds what changed in a picture where the platform reports no damage (GDI,
// compositors whose streams carry no damage), and checks reported damage
// against the pixels: the picture is compared with a copy of the previous
// one, 16x16 tile by tile, and the copy follows the picture.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/core/ScreenSource.h"

namespace dvengine {

// Compares the rows [nTop, nTop + nRows) of two pictures of nWidth pixels (4
// bytes a pixel, the fourth ignored), 16x16 tile by tile: the tiles of pNew
// that differ are copied into pOld and appended to *pvChanged as rectangles
// (runs of changed tiles on a row merged, and equal runs on adjacent rows).
// pNew and pOld point at their row nTop; nTop is a multiple of the tile.
void CompareTiles(const uint8_t* pNew, int nNewStride, uint8_t* pOld, int nOldStride, int nWidth,
                  int nTop, int nRows, std::vector<CRect>* pvChanged);

// What a platform reported changed on one of its outputs, in the output's
// own coordinates (a moved rectangle's destination, whose pixels are a copy
// from elsewhere in the picture, or a dirty rectangle), as the picture's
// changed region: each clipped to the output, moved to the output's place
// rcOutput on the picture, and appended to *pvChanged unless empty.
void AddReported(const std::vector<CRect>& vReported, const CRect& rcOutput,
                 std::vector<CRect>* pvChanged);

class CTileDiff {
public:
    static constexpr int kTile = 16;

    // Compares the rows [nFromRow, nToRow) of a picture (4 bytes a pixel, the
    // fourth ignored: some platforms leave it undefined) with the copy of the
    // previous one, updates the copy there, and appends what differs to
    // *pvChanged: tile-aligned rectangles clipped to the picture, runs of
    // changed tiles on a row merged, and equal runs on adjacent rows merged.
    // The first picture, a picture of another size, or one after Reset() is
    // changed all over, whatever rows are asked for; so is every picture
    // while the copy cannot be allocated. Rows outside the picture are
    // ignored; nFromRow is rounded down to a tile.
    void Compare(const uint8_t* pPixels, int nStride, int nWidth, int nHeight, int nFromRow,
                 int nToRow, std::vector<CRect>* pvChanged);
    void Compare(const uint8_t* pPixels, int nStride, int nWidth, int nHeight,
                 std::vector<CRect>* pvChanged) {
        Compare(pPixels, nStride, nWidth, nHeight, 0, nHeight, pvChanged);
    }

    // Takes the picture as the copy without comparing (rows [nFromRow,
    // nToRow)), for a source that knows what changed and only needs the copy
    // to stay true for a later check.
    void Take(const uint8_t* pPixels, int nStride, int nWidth, int nHeight, int nFromRow,
              int nToRow);

    // Forgets the copy: the next picture is changed all over.
    void Reset();

private:
    bool Fit(int nWidth, int nHeight);

    std::vector<uint8_t> m_vCopy;  // the previous picture, tightly packed
    int m_nWidth = 0;
    int m_nHeight = 0;
    bool m_bValid = false;
};

}  // namespace dvengine
