// The recording's timeline: capture-clock times onto the file's time with
// every pause cut out, and which frame slot a time falls in.
#pragma once

#include <cstdint>

namespace dvengine {

// Maps capture-clock times (microseconds) onto the file's timeline: time 0 is
// Start(), and every pause is cut out so that the timeline continues without
// a gap on resume. Not thread-safe by itself; the session locks around it.
class CTimeline {
public:
    void Start(int64_t nNowUs);
    void Pause(int64_t nNowUs);
    void Resume(int64_t nNowUs);
    // Capture stops taking material stamped after this time.
    void Stop(int64_t nNowUs);

    bool Started() const { return m_bStarted; }
    // Whether material stamped nTs comes after the stop: nothing later can
    // belong in the file.
    bool Ended(int64_t nTs) const { return m_bStopped && nTs >= m_nStopUs; }
    bool Paused() const { return m_bPaused; }
    // The file time at which the recording ended (pauses cut out); 0 before
    // the stop.
    int64_t FileEndUs() const;
    // Whether material stamped nTs belongs in the file; if so *pnFileUs gets
    // its time on the file's timeline.
    bool Map(int64_t nTs, int64_t* pnFileUs) const;
    // As Map(), and *pnBoundUs gets where that answer changes: the end of
    // the stretch nTs falls in (a pause, the stop), or the start of the next
    // one when it falls outside; INT64_MAX when not known yet.
    bool Locate(int64_t nTs, int64_t* pnFileUs, int64_t* pnBoundUs) const;

private:
    // A stretch of capture time that goes into the file: [nFromUs, nUntilUs),
    // shifted back by the pause time cut out before it. Only the latest few
    // are kept: material arrives at most a few frames late.
    struct CSegment {
        int64_t nFromUs;
        int64_t nUntilUs;
        int64_t nCutUs;
    };
    static constexpr int kMaxSegments = 16;
    void Push(int64_t nFromUs);

    bool m_bStarted = false;
    bool m_bPaused = false;
    bool m_bStopped = false;
    int64_t m_nStopUs = 0;
    int64_t m_nStartUs = 0;
    int64_t m_nPausedAtUs = 0;
    int64_t m_nCutUs = 0;
    CSegment m_rgSegment[kMaxSegments] = {};
    int m_iNewest = -1;
    int m_nSegments = 0;
};

// The frame index on the file's timeline for a time in microseconds, at the
// given frame rate, rounded to the nearest frame.
int64_t FrameIndex(int64_t nFileUs, int nFpsNum, int nFpsDen);

}  // namespace dvengine
