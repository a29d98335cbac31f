// Keeps the recording's picture (YUV 4:2:0 at the recording's size) up to
// date with the screen: only the rectangles that changed are converted, the
// rest of the picture stays as it was. A screen of another size than the
// recording is scaled into it, aspect kept, with black bars; a screen of odd
// size in a picture one larger (the encoder's sizes are even) is not scaled
// but padded, its last column and row black.
//
// The picture lives in a ring of buffers (PictureRing.h): Picture() hands
// the encoder the latest one without copying it, and changes go into a
// buffer the encoder does not hold, which catches up on the rectangles that
// changed since it was last written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/core/PictureRing.h"
#include "engine/core/ScreenSource.h"

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
    // The encoder's own layout (CPictureLayout::Of), for a picture of the
    // same size: the picture moves into it, and the encoder takes it as it
    // is from then on.
    HRESULT UseLayout(const CPictureLayout& layout) { return m_ring.Open(layout); }
    // Brings the picture up to date with the frame and appends what changed
    // in it to *pvChanged (picture coordinates): the frame's rectangles, or
    // the whole picture when the screen is scaled in or changed size.
    HRESULT Update(const CScreenFrame& frame, std::vector<CRect>* pvChanged);
    // The picture for the encoder, stamped nPts (it is never written while
    // the encoder holds it); null when out of memory.
    AVFrame* Picture(int64_t nPts) { return m_ring.Hand(nPts); }
    // Where the screen lands in the picture (all of it unless scaled).
    CRect Target() const { return m_target; }

private:
    void Fit(int nScreenWidth, int nScreenHeight);
    // A rectangle of the screen as converted: widened to even coordinates (a
    // chroma sample covers 2x2 pixels) but never past the screen's edge.
    static CRect Widened(const CScreenFrame& frame, const CRect& r);
    void ConvertRect(const CScreenFrame& frame, const CRect& w);
    void ConvertScaled(const CScreenFrame& frame);

    CPictureRing m_ring;
    AVFrame* m_pPicture = nullptr;  // the ring's writable picture
    int m_nScreenWidth = 0;
    int m_nScreenHeight = 0;
    CRect m_target;
    std::vector<CRect> m_vCovered;   // what an update writes over whole
    std::vector<uint8_t> m_vScaled;  // the scaled screen, BGRx
};

}  // namespace dvengine
