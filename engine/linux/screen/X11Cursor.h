// The pointer drawn into a screen picture: the X server leaves it out of the
// pixels it hands back, so the source composites it itself and puts back what
// it covered before the next picture is taken.
#pragma once

#include <xcb/xfixes.h>

#include <cstdint>
#include <vector>

#include "engine/core/ScreenSource.h"

namespace dvengine {

class CX11Cursor {
public:
    // A new cursor image: premultiplied ARGB, nWidth x nHeight, hotspot at
    // (nHotX, nHotY).
    void SetImage(const uint32_t* pArgb, int nWidth, int nHeight, int nHotX, int nHotY);

    // The cursor image of a GetCursorImage reply. False, and the image kept,
    // when the reply is shorter than the size in its header says (a broken
    // or hostile server).
    bool SetImage(const xcb_xfixes_get_cursor_image_reply_t& reply);

    // Puts back the screen pixels under the cursor drawn last (once: a
    // second call before Draw() does nothing).
    void Restore(uint8_t* pPixels, int nStride);

    // Draws the cursor with its hotspot at (nX, nY) into a nWidth x nHeight
    // picture (bVisible false: not drawn), keeping the pixels it covers; adds
    // its old and new places to pvChanged when it moved or changed.
    void Draw(uint8_t* pPixels, int nStride, int nWidth, int nHeight, int nX, int nY, bool bVisible,
              std::vector<CRect>* pvChanged);

    // The picture was replaced (a size change): nothing of it is kept.
    void Forget();

    bool IsShown() const { return m_rcDrawn.w > 0; }

private:
    std::vector<uint32_t> m_vImage;
    int m_nWidth = 0;
    int m_nHeight = 0;
    int m_nHotX = 0;
    int m_nHotY = 0;
    bool m_bImageChanged = false;
    // Where the cursor was drawn (clipped to the picture; empty: nowhere) and
    // the pixels it covers there, row after row.
    CRect m_rcDrawn;
    std::vector<uint32_t> m_vUnder;
    bool m_bRestored = false;
};

}  // namespace dvengine
