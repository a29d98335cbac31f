// A screen without a display, for tests: a known picture with known changed
// rectangles, and faults on cue. Frames are counted by Grab() calls.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/core/ScreenSource.h"

namespace dvengine {

struct CSyntheticScreenOptions {
    enum class EMode {
        kBox,   // a box moving over a still background: two small rectangles
        kFull,  // every pixel changes on every frame
        kIdle,  // nothing changes after the first frame
    };
    struct CResize {
        int nAtFrame;
        int nWidth;
        int nHeight;
    };
    int nWidth = 640;
    int nHeight = 360;
    EMode mode = EMode::kBox;
    int nMoves = -1;            // box: still after that many moves (-1: never)
    bool bFailStart = false;    // Start() fails at once
    bool bSilentStart = false;  // Start() waits for its deadline, then fails
    int nNoPictureFrames = 0;   // the first grabs answer S_FALSE
    int nStallAtFrame = -1;     // that grab blocks for nStallMs, once
    int nStallMs = 0;
    int nFreezeAtFrame = -1;  // from that grab on: no picture by its deadline, ever
    std::vector<CResize> vResizes;
};

// "size=640x360,mode=box|full|idle,moves=N,fail-start,silent,no-picture=N,
// stall-at=N:MS,freeze-at=N,resize-at=N:WxH" (resize-at
// may repeat). False on an option it does not know, *pOptions then
// unspecified.
bool ParseSyntheticScreenOptions(const std::string& strOptions, CSyntheticScreenOptions* pOptions);

std::unique_ptr<IScreenSource> CreateSyntheticSource(const CSyntheticScreenOptions& options);

}  // namespace dvengine
