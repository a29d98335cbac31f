// Keeps the recording's picture (YUV 4:2:0 at the recording's size) up to
// date with the screen: only the rectangles that changed are converted, the
// rest of the picture stays as it was. A screen of another size than the
// recording is scaled into it, aspect kept, with black bars; a screen of odd
// size in a picture one larger (the encoder's sizes are even) is not scaled
// but padded, its last column and row black.
//
// The encoder may hold on to a picture it was given (and frees it on its own
// thread): Picture() hands out a copy in a buffer from a small pool, so the
// picture kept here is never shared and a buffer handed out is never touched
// again; the pool's lock orders its reuse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/core/ScreenSource.h"

struct AVBufferPool;
struct AVFrame;

namespace dvengine {

class CConverter {
public:
    CConverter() = default;
    ~CConverter();
    CConverter(const CConverter&) = delete;
    CConverter& operator=(const CConverter&) = delete;

    // A black picture of the recording's size (even width and height).
    HRESULT Open(int nWidth, int nHeight);
    // Brings the picture up to date with the frame and appends what changed
    // in it to *pvChanged (picture coordinates): the frame's rectangles, or
    // the whole picture when the screen is scaled in or changed size.
    HRESULT Update(const CScreenFrame& frame, std::vector<CRect>* pvChanged);
    // A copy of the picture for the encoder, stamped nPts; null when out of
    // memory.
    AVFrame* Picture(int64_t nPts);
    // Where the screen lands in the picture (all of it unless scaled).
    CRect Target() const { return m_target; }

private:
    void Fit(int nScreenWidth, int nScreenHeight);
    void ConvertRect(const CScreenFrame& frame, CRect r);
    void ConvertScaled(const CScreenFrame& frame);

    AVFrame* m_pPicture = nullptr;
    AVBufferPool* m_pPool = nullptr;
    size_t m_rgcbPlane[3] = {};
    int m_nScreenWidth = 0;
    int m_nScreenHeight = 0;
    CRect m_target;
    std::vector<uint8_t> m_vScaled;  // the scaled screen, BGRx
};

}  // namespace dvengine
