// Decides, for each frame slot of a recording, whether a picture is encoded,
// and at which quantiser, so that only what changes costs and the asked bit
// rate is held. Pure logic: it sees slot numbers, changed areas and the sizes
// of the packets the encoder wrote, nothing else.
//
// What a variable-rate video track needs:
//  - no change, nothing encoded: the track has a gap and players hold the
//    last picture;
//  - up to two refinement frames once activity has stopped for a moment
//    (a window that keeps moving at another rate than the recording's leaves
//    single slots unchanged: those are not a stop), while the last picture
//    was coded coarser than the finest quantiser allowed;
//  - a heartbeat frame at least once a second, so that a seek lands near a
//    picture;
//  - a frame at pause and at stop, so that the track lasts as long as the
//    recording;
//  - key frames by elapsed time, and a key frame first in every file.
//
// The bit rate: FFmpeg's own rate control counts encoded frames, not time (a
// track with gaps gets a frame's share per encoded frame), and once the
// coarsest quantiser has overshot it keeps every later frame at that
// quantiser for good. So the pacer chooses the quantiser itself, from a
// leaky bucket filled at the asked rate over file time and drained by every
// packet, and a per-picture-type size model learnt from the packets. A
// changed frame that even the coarsest quantiser cannot afford is dropped
// and counted; its change is carried into the next encoded frame.
#pragma once

#include <cstdint>

namespace dvengine {

struct CPacerSettings {
    int64_t nBitrate = 0;  // video bits per second asked
    int nFpsNum = 20;      // frame rate as a fraction
    int nFpsDen = 1;
    int64_t nKeyFrameUs = 8000000;  // key-frame distance
    int nQMin = 2;                  // the quantiser range the profile allows
    int nQMax = 31;
    int nWidth = 0;  // the encoded picture's size
    int nHeight = 0;
};

struct CPace {
    enum EAction {
        kSkip,    // nothing to encode: a gap in the track
        kDrop,    // a change the budget cannot afford: counted, carried over
        kEncode,  // encode the current picture at nQuantiser
    };
    // What an encoded frame is for.
    enum EKind {
        kKeyFrame,
        kChange,      // what changed since the last frame encoded
        kRefinement,  // the still picture again, at a finer quantiser
        kRepeat,      // the picture again as it is: heartbeat, pause, stop
    };
    EAction eAction = kSkip;
    bool bKey = false;
    int nQuantiser = 0;

    // The pacer's own account of an encode, handed back with its size.
    EKind eKind = kRepeat;
    int64_t nSlot = -1;
    double dArea = 0;       // pixels coded afresh
    double dPredicted = 0;  // bits expected, reserved from the budget
    double dDescent = 0;    // a key frame's bits at a refinement's quantiser
    int64_t nPrevEncodedSlot = -1;
    int64_t nPrevKeySlot = -1;
    int nPrevPictureQ = 0;
    int nPrevChangeQ = 0;
};

class CVideoPacer {
public:
    // How often a frame is encoded while nothing changes.
    static constexpr int64_t kHeartbeatUs = 1000000;
    // How long nothing must change before the picture is refined.
    static constexpr int64_t kStillBeforeRefineUs = 150000;
    // Refinement frames after activity stops.
    static constexpr int kRefinements = 2;

    explicit CVideoPacer(const CPacerSettings& settings);

    // A new file begins (the first one, or a roll-over): its slots count from
    // 0 again, its first frame is a key frame and is encoded whatever the
    // budget, and the budget starts a quarter full.
    void StartFile();

    // Frame slot nSlot (slots increase; slots not passed are gaps) in which
    // nChangedPixels of the picture changed since the slot before (0: no
    // change). A kEncode is answered by Encoded() or Cancel(), possibly
    // after later slots were decided (the encoder runs behind).
    CPace Slot(int64_t nSlot, int64_t nChangedPixels);

    // A change no slot takes (captured in a slot already decided, or past
    // a pause or stop): it goes out with the next frame encoded.
    void Carry(int64_t nChangedPixels);

    // Pause or stop at nSlot: a frame there, unless one was encoded in that
    // slot already, so that the track reaches the end of what was recorded.
    // Encoded whatever the budget.
    CPace Close(int64_t nSlot);

    // The size of the packet written for an encode.
    void Encoded(const CPace& pace, int64_t nBytes);
    // An encode that did not happen: its budget and its change come back,
    // and a key frame it was falls due again.
    void Cancel(const CPace& pace);

    int64_t Dropped() const { return m_nDropped; }
    int64_t LastEncodedSlot() const { return m_nLastEncodedSlot; }

private:
    int64_t SlotUs(int64_t nSlot) const;
    void Refill(int64_t nSlot);
    double Target() const;
    int QuantiserFor(double dCoded, double dRoom) const;
    double Predict(CPace::EKind eKind, double dArea, int nQ) const;
    // Chooses the quantiser for a frame; false when the budget cannot take
    // it and it need not be forced.
    bool Plan(CPace::EKind eKind, double dArea, bool bForce, int* pnQ) const;
    CPace Encode(int64_t nSlot, CPace::EKind eKind, double dArea, int nQ);

    CPacerSettings m_set;
    double m_dArea = 0;         // pixels in the encoded picture
    double m_dBitsPerSlot = 0;  // the asked rate's share of one slot
    double m_dCapacity = 0;     // the bucket's size in bits
    double m_dLevel = 0;        // bits that may be spent now

    // Size model, learnt from the packets: a key frame costs m_dKeyCoef *
    // area / q bits; a change m_dOverhead (what a frame with no change
    // costs) plus m_dPCoef * changed area / q; a refinement of the picture
    // to q m_dRefineShare of a key frame at q more.
    double m_dKeyCoef = 3.0;
    double m_dPCoef = 2.0;
    double m_dRefineShare = 0.75;
    double m_dOverhead = 0;

    int64_t m_nLastSlot = -1;
    int64_t m_nLastEncodedSlot = -1;
    int64_t m_nLastKeySlot = -1;
    bool m_bFileStart = true;
    double m_dPending = 0;     // changed pixels not encoded yet
    double m_dChangeArea = 0;  // the area of the last change encoded
    int m_nRefineLeft = 0;
    int64_t m_nLastChangeSlot = -1;  // the latest slot a change was captured in
    int m_nPictureQ = 31;            // the quantiser the still picture was coded at
    int m_nChangeQ = 31;             // and its last change
    int64_t m_nDropped = 0;
};

}  // namespace dvengine
