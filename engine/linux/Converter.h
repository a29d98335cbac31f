// Keeps the recording's picture (YUV 4:2:0 at the recording's size) up to
// date with the screen: only the rectangles that changed are converted, the
// rest of the picture stays as it was. A screen of another size than the
// recording is scaled into it, aspect kept, with black bars.
//
// The encoder may hold on to a picture it was given: Picture() hands out a
// reference, and the next Update() that changes something copies the picture
// first when a reference is still out (copy on write), so a picture the
// encoder holds is never written.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/linux/screen/ScreenSource.h"

struct AVFrame;

namespace dvlinux {

class CConverter {
public:
    CConverter() = default;
    ~CConverter();
    CConverter(const CConverter&) = delete;
    CConverter& operator=(const CConverter&) = delete;

    // A black picture of the recording's size (even width and height).
    HRESULT Open(int nWidth, int nHeight);
    // Brings the picture up to date with the frame. *pbChanged: whether
    // anything in the picture changed.
    HRESULT Update(const CScreenFrame& frame, bool* pbChanged);
    // A new reference to the picture, stamped nPts; null when out of memory.
    AVFrame* Picture(int64_t nPts) const;
    // Where the screen lands in the picture (all of it unless scaled).
    CRect Target() const { return m_target; }

private:
    void Fit(int nScreenWidth, int nScreenHeight);
    void ConvertRect(const CScreenFrame& frame, CRect r);
    void ConvertScaled(const CScreenFrame& frame);

    AVFrame* m_pPicture = nullptr;
    int m_nScreenWidth = 0;
    int m_nScreenHeight = 0;
    CRect m_target;
    std::vector<uint8_t> m_vScaled;  // the scaled screen, BGRx
};

}  // namespace dvlinux
