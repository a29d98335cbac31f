// The encoder's input pictures (YUV 4:2:0), kept up to date by copying only
// what changed, in the layout of the encoder's own pictures so that our
// FFmpeg encodes them without copying them again.
//
// The encoder holds on to the pictures it is given for a while (one waiting
// in the queue, the one it encodes), and frees them on its own thread. So there are a few buffers:
// changes are written into one the encoder does not hold, which first catches up, from the latest
// picture, on the rectangles written since it was last written; a buffer
// handed out is never written while anyone else holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/core/ScreenSource.h"

struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;

namespace dvengine {

// Where the planes of a picture lie in its buffer. Planes extend to whole
// 16x16 macroblocks (the padded size), the last column and row repeated:
// the encoder reads whole macroblocks.
struct CPictureLayout {
    int nWidth = 0;  // the picture (even)
    int nHeight = 0;
    int rgnLinesize[3] = {};
    int nPaddedWidth = 0;  // whole macroblocks
    int nPaddedHeight = 0;

    // A layout of its own for a picture of this size (before an encoder is
    // known, or for a build whose encoder copies its input anyway).
    static CPictureLayout Plain(int nWidth, int nHeight);
    // The layout the encoder gives its own pictures, which it takes as input
    // without a copy; Plain() when it cannot tell.
    static CPictureLayout Of(AVCodecContext* pEnc);

    size_t PlaneOffset(int nPlane) const;
    size_t Size() const;  // the planes, without alignment
    bool operator==(const CPictureLayout& o) const;
};

class CPictureRing {
public:
    CPictureRing();
    ~CPictureRing();
    CPictureRing(const CPictureRing&) = delete;
    CPictureRing& operator=(const CPictureRing&) = delete;

    // Buffers in this layout; the picture is black. A ring already open
    // keeps its latest picture (the same width and height).
    HRESULT Open(const CPictureLayout& layout);
    const CPictureLayout& Layout() const { return m_layout; }

    // The picture to write into: a buffer nobody else holds, up to date but
    // where the caller is about to write over it whole (vCovered: it does not
    // catch up on what lies inside one of them). Owned by the ring (no buffer
    // of its own); valid until the next call. Null when out of memory.
    AVFrame* Writable(const std::vector<CRect>& vCovered = {});
    // What was written into the writable picture: its macroblock padding is
    // brought up to date, and the other buffers will catch up on it.
    void Written(const CRect& r);
    void WrittenAll() { Written(CRect{0, 0, m_layout.nWidth, m_layout.nHeight}); }

    // The latest picture for the encoder, holding its buffer, stamped nPts;
    // null when out of memory.
    AVFrame* Hand(int64_t nPts);

    // Buffers allocated (for tests: how many the encoder made us keep).
    size_t Buffers() const { return m_vSlots.size(); }

private:
    struct CSlot {
        AVBufferRef* pBuffer = nullptr;
        uint8_t* rgpPlane[3] = {};
        std::vector<CRect> vStale;  // written since this buffer was latest
        bool bAllStale = true;
    };
    bool Allocate(CSlot* pSlot) const;
    void View(const CSlot& slot, AVFrame* pFrame) const;
    void CatchUp(CSlot* pSlot, const CSlot& latest, const std::vector<CRect>& vCovered) const;
    void CopyRect(const CSlot& from, const CSlot& to, CRect r) const;
    void Pad(const CSlot& slot, const CRect& r) const;
    void Release();

    CPictureLayout m_layout;
    std::vector<CSlot> m_vSlots;
    int m_nLatest = -1;
    AVFrame* m_pView = nullptr;
};

}  // namespace dvengine
