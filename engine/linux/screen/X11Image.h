// The screen's pixels as the X11 source keeps them: one full-screen BGRx
// buffer, shared with the server through MIT-SHM when it can see our memory
// (the server then writes fetched rows straight into the picture), memory of
// our own filled from GetImage replies otherwise. Below the picture, a band
// of spare rows: a few of the screen's rows fetched afresh on each grab and
// compared with the picture, which finds what damage reports missed (by row
// hashes where the rows were checked before and fetched by no grab since).
#pragma once

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/core/ScreenSource.h"
#include "engine/linux/screen/X11Connect.h"

namespace dvengine {

// Rows [first, second) of the picture.
using CBands = std::vector<std::pair<int, int>>;

// Without shared memory no reply to a fetch is larger than this: xcb reads a
// reply whole once it has begun, so a large one would hold a grab past its
// deadline on a slow link, and one fetch must never be one giant reply.
constexpr size_t kMaxReplyBytes = 256 * 1024;

// The bands fetched for the changed rectangles (sorted by their top) of an
// nWidth x nHeight picture: rows close together as one band, the whole
// picture (bWhole, or most of it changed) as one; without shared memory
// (bShared false) cut into pieces of at most kMaxReplyBytes.
void PlanBands(std::vector<xcb_rectangle_t>* pvRects, bool bWhole, int nWidth, int nHeight,
               bool bShared, CBands* pvBands);

class CX11Image {
public:
    ~CX11Image() { Release(); }

    // A buffer for an nWidth x nHeight screen, and nCheckRows spare rows.
    // With bTryShm the server is offered a shared segment: the sequence
    // number of a request whose reply brings its answer, for Attached() once
    // that reply has come; 0 when nothing was offered (memory of ours).
    unsigned Allocate(xcb_connection_t* pConn, xcb_window_t root, bool bTryShm, int nWidth,
                      int nHeight, int nCheckRows);
    // Allocate()'s reply has come: the segment is used when the server took
    // it, memory of ours otherwise.
    void Attached();

    // Begins a grab: asks for the check's rows from nCheckFrom on into the
    // spare band (none with -1), sent with the grab's first requests so that
    // an idle screen costs one round trip.
    void RequestCheck(int nCheckFrom);
    // Asks for the rows that the rectangles touch (reordered), or every row
    // with bWhole. Collect() brings them in, and the check's.
    void Request(std::vector<xcb_rectangle_t>* pvRects, bool bWhole);
    bool Requested() const { return !m_vFetches.empty(); }
    // S_OK when every row asked for has come, *pbRefused when the server
    // refused some (the screen shrank under the fetch); S_FALSE when some
    // have not come by nDeadlineUs (the next call goes on where this one
    // stopped); DV_E_NO_DISPLAY when the server is lost.
    HRESULT Collect(CReplyWait* pWait, int64_t nDeadlineUs, bool* pbRefused);

    // After a Collect() with no refusal: the tiles of the check's rows that
    // differ from the picture (a change no damage report told of) are copied
    // into it and appended to *pvMissed.
    void Check(std::vector<CRect>* pvMissed);

    // Lets go of the buffer without a word to the server (its side of the
    // segment goes with the connection).
    void Release();

    uint8_t* Pixels() const { return m_pPixels; }
    int Stride() const { return m_nWidth * 4; }
    int CheckRows() const { return m_nCheckRows; }
    bool Shared() const { return m_seg != 0; }

private:
    xcb_connection_t* m_pConn = nullptr;
    xcb_window_t m_root = 0;
    int m_nWidth = 0;
    int m_nHeight = 0;
    int m_nCheckRows = 0;
    xcb_shm_seg_t m_seg = 0;
    xcb_shm_seg_t m_segOffered = 0;
    int m_nShmId = -1;  // until the server has answered the offer
    unsigned m_nAttachSeq = 0;
    uint8_t* m_pShm = nullptr;
    std::vector<uint8_t> m_vOwn;
    uint8_t* m_pPixels = nullptr;
    // One request of a grab: rows [nFirst, nEnd) of the screen, to land at
    // nOffset in the buffer.
    struct CFetch {
        int nFirst;
        int nEnd;
        size_t nOffset;
        unsigned nSeq;
    };
    void Send(CFetch fetch);

    CBands m_vBands;  // the rows the grab fetches into the picture
    std::vector<CFetch> m_vFetches;
    int m_nCheckFrom = -1;  // the check's first row this grab; -1: no check
    // Each row's hash as the check last saw it; rows fetched since, unknown.
    std::vector<uint64_t> m_vRowHash;
    size_t m_nCollected = 0;  // fetches brought in so far
    bool m_bRefused = false;
};

}  // namespace dvengine
