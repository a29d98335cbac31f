// The one place where the video path decides what to do with a time slot of
// the recording's frame rate. The session asks it once per slot that has a
// picture, after the picture has been brought up to date, and does what it
// says: nothing, encode, or encode a key frame.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/linux/LibavConfig.h"
#include "engine/linux/screen/ScreenSource.h"

namespace dvlinux {

// The slot of the frame rate in which a time of the file falls, and when a
// slot begins. A picture goes into the slot in which it was taken (never a
// later one), so neither stream of a file runs past the other by more than a
// frame.
inline int64_t SlotOf(const libav::CVideoParams& v, int64_t nFileUs) {
    return nFileUs * v.nFpsNum / (int64_t{1000000} * v.nFpsDen);
}
inline int64_t SlotStartUs(const libav::CVideoParams& v, int64_t nSlot) {
    return (nSlot * v.nFpsDen * 1000000 + v.nFpsNum - 1) / v.nFpsNum;
}

enum class ESlotAction { kSkip, kEncode, kKeyFrame };

struct CSlot {
    int64_t nIndex = 0;     // the slot, in frames of the frame rate from the start
    int64_t nFileUs = 0;    // the picture's time on the file's timeline
    bool bChanged = false;  // whether the picture differs from the slot before
    // What changed on the screen since the last picture, in screen
    // coordinates (null: not known, take it all as changed).
    const std::vector<CRect>* pvChanged = nullptr;
};

class CVideoPacer {
public:
    explicit CVideoPacer(const libav::CVideoParams& video) : m_video(video) {}

    // Every slot is encoded, at the constant frame rate; the encoder places
    // key frames by its own distance.
    ESlotAction Decide(const CSlot& slot) {
        m_nLastIndex = slot.nIndex;
        return ESlotAction::kEncode;
    }

private:
    libav::CVideoParams m_video;
    int64_t m_nLastIndex = -1;
};

}  // namespace dvlinux
