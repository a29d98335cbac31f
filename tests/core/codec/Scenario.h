// The picture sequence of the codec tests, made the same way by the encoder
// (our FFmpeg) and the checker (the system's): each step repaints its
// changed rectangles with a pattern of its own, so a macroblock wrongly
// skipped shows the old pattern and stands out in the decoded picture.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/core/ScreenSource.h"

namespace codectest {

// Not multiples of 16: the right column and bottom row of macroblocks are
// partly outside the picture.
constexpr int kWidth = 328;
constexpr int kHeight = 248;

enum class EMap {
    kNone,     // no map: every macroblock coded, as the stock encoder does
    kChanged,  // the map of the step's changed rectangles
    kAllSkip,  // a map that says nothing changed, whatever did
    kBadSize,  // a map of the wrong size that says nothing changed
};

struct CStep {
    const char* pszName;
    std::vector<dvengine::CRect> vChanged;
    bool bKey;
    EMap map;
    // What the picture header must say: 'I' for an intra picture, else the
    // P-picture's skip-map coding: 'N' none, 'M' per macroblock, 'R' by
    // rows, 'C' by columns.
    char chCoding;
};

inline std::vector<CStep> Steps() {
    const dvengine::CRect whole{0, 0, kWidth, kHeight};
    // Every other macroblock, in every row and every column: cheapest per
    // macroblock. A quarter of each: large enough that a macroblock wrongly
    // skipped stands out in its mean error.
    std::vector<dvengine::CRect> vChecker;
    for (int y = 0; y < (kHeight + 15) / 16; ++y) {
        for (int x = y % 2; x < (kWidth + 15) / 16; x += 2) {
            vChecker.push_back({x * 16 + 4, y * 16 + 4, 8, 8});
        }
    }
    return {
        {"first", {whole}, true, EMap::kNone, 'I'},
        {"unchanged", {}, false, EMap::kChanged, 'R'},
        {"window", {{37, 21, 50, 30}}, false, EMap::kChanged, 'R'},
        {"strip", {{100, 0, 20, kHeight}}, false, EMap::kChanged, 'C'},
        {"scattered", vChecker, false, EMap::kChanged, 'M'},
        {"corner", {{kWidth - 8, kHeight - 8, 8, 8}}, false, EMap::kChanged, 'R'},
        {"key", {whole}, true, EMap::kAllSkip, 'I'},
        {"bad map", {{150, 100, 40, 40}}, false, EMap::kBadSize, 'N'},
        // The encoder's reconstruction buffers take turns: the first two
        // pictures after one coded all over catch up from the reference,
        // the third holds it already. The next picture coded shows any
        // macroblock they got wrong.
        {"unchanged, behind", {}, false, EMap::kChanged, 'R'},
        {"unchanged, behind again", {}, false, EMap::kChanged, 'R'},
        {"unchanged, caught up", {}, false, EMap::kChanged, 'R'},
        {"no map", {{200, 30, 10, 10}}, false, EMap::kNone, 'N'},
        {"unchanged again", {}, false, EMap::kChanged, 'R'},
    };
}

// A YUV 4:2:0 picture.
struct CPicture {
    std::vector<uint8_t> vPlane[3];
    static int Width(int nPlane) { return nPlane == 0 ? kWidth : (kWidth + 1) / 2; }
    static int Height(int nPlane) { return nPlane == 0 ? kHeight : (kHeight + 1) / 2; }
};

// The source picture after step nStep has repainted its rectangles over the
// previous one.
inline void Paint(CPicture* pPicture, const CStep& step, int nStep) {
    for (int p = 0; p < 3; ++p) {
        pPicture->vPlane[p].resize(size_t(CPicture::Width(p)) * CPicture::Height(p));
    }
    for (dvengine::CRect rc : step.vChanged) {
        // Within the picture, as the screen sources clip what they report.
        rc.w = std::min(rc.x + rc.w, kWidth) - rc.x;
        rc.h = std::min(rc.y + rc.h, kHeight) - rc.y;
        for (int y = rc.y; y < rc.y + rc.h; ++y) {
            for (int x = rc.x; x < rc.x + rc.w; ++x) {
                // Smooth enough to code well, different enough per step.
                pPicture->vPlane[0][size_t(y) * kWidth + x] =
                    uint8_t(40 + (x * (3 + nStep) + y * (5 + 2 * nStep)) % 170);
            }
        }
        for (int p = 1; p < 3; ++p) {
            const int nCw = CPicture::Width(p);
            for (int y = rc.y / 2; y < (rc.y + rc.h + 1) / 2; ++y) {
                for (int x = rc.x / 2; x < (rc.x + rc.w + 1) / 2; ++x) {
                    pPicture->vPlane[p][size_t(y) * nCw + x] =
                        uint8_t(64 + (p * 40 + nStep * 29 + x + y) % 128);
                }
            }
        }
    }
}

}  // namespace codectest
