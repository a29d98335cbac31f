// The screen's pixels as the X11 source keeps them: one full-screen BGRx
// buffer, shared with the server through MIT-SHM when it can see our memory
// (the server then writes fetched rows straight into the picture), memory of
// our own filled from GetImage replies otherwise.
#pragma once

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace dvengine {

class CX11Image {
public:
    ~CX11Image() { Release(); }

    // A buffer for an nWidth x nHeight screen, shared with the server when
    // bTryShm and the server accepts the segment. False when the server has
    // not answered by nDeadlineUs.
    bool Allocate(xcb_connection_t* pConn, xcb_window_t root, bool bTryShm, int nWidth, int nHeight,
                  int64_t nDeadlineUs);

    // Brings in the rows that the rectangles touch (reordered), or every row
    // with bWhole. False when the server has not answered by nDeadlineUs;
    // *pbRefused when it answered a fetch with an error (the screen shrank
    // under it).
    bool Fetch(std::vector<xcb_rectangle_t>* pvRects, bool bWhole, int64_t nDeadlineUs,
               bool* pbRefused);

    // Lets go of the buffer without a word to the server (its side of the
    // segment goes with the connection).
    void Release();

    uint8_t* Pixels() const { return m_pPixels; }
    int Stride() const { return m_nWidth * 4; }
    bool Shared() const { return m_seg != 0; }

private:
    xcb_connection_t* m_pConn = nullptr;
    xcb_window_t m_root = 0;
    int m_nWidth = 0;
    int m_nHeight = 0;
    xcb_shm_seg_t m_seg = 0;
    uint8_t* m_pShm = nullptr;
    std::vector<uint8_t> m_vOwn;
    uint8_t* m_pPixels = nullptr;
    std::vector<std::pair<int, int>> m_vBands;  // rows [first, second)
    std::vector<unsigned> m_vSeqs;
};

}  // namespace dvengine
