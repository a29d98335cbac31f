// One recording: the screen and audio sources, the converter and the output,
// opened from a snapshot of the configuration, and the threads between them:
// capture and conversion, video encoding, audio. Every picture and audio
// block is placed on the file's timeline by its capture time; a picture
// whose slot is taken is dropped and counted, never moved later. Every wait
// has a deadline, so a lost device ends its stream and the status says so; a
// screen that stops answering is a gap (the picture held, its slots counted
// as dropped) until it answers again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/core/Converter.h"
#include "engine/core/SkipMap.h"
#include "engine/core/Settings.h"
#include "engine/core/Timeline.h"
#include "engine/core/BoundedQueue.h"
#include "engine/core/Output.h"
#include "engine/core/VideoPacer.h"
#include "engine/core/AudioMixer.h"
#include "engine/core/AudioSource.h"
#include "engine/core/ScreenSource.h"

namespace dvengine {

class CSession {
public:
    // Starts the sources (each within its deadline), then the encoders and
    // the file, so that a device that cannot be opened leaves no file. On
    // failure nothing stays open and the status names what failed.
    static HRESULT Open(const CSnapshot& snap, std::unique_ptr<CSession>* ppSession);

    // Finishes a started session; one never started leaves the name as it was.
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    const CSnapshot& Snapshot() const { return m_snap; }
    bool Started() const { return m_bStarted; }

    // Encodes a first picture, puts the file in place and starts the
    // threads; after a pause, resumes.
    HRESULT Start();
    // Suspends recording; the file's timeline goes on without a gap on resume.
    HRESULT Pause();
    // Stops, writes everything captured, finalises the file. The first of:
    // a failed write or encoder, a lost screen (gone for good, or still
    // silent at the stop), a lost audio input.
    HRESULT Finish();

private:
    static constexpr int64_t kGrabUs = 250000;  // one picture

    explicit CSession(const CSnapshot& snap);
    HRESULT OpenScreen();
    HRESULT OpenAudio();
    // A picture on its way to the encoder: the pacer's decision, and what
    // changed since the picture encoded before it (picture coordinates;
    // merged over the slots skipped or dropped in between), which the
    // encoder gets as its map of macroblocks to skip.
    struct CVideoJob {
        AVFrame* pFrame = nullptr;
        CPace pace;
        std::vector<CRect> vChanged;
    };

    bool Map(int64_t nTimeUs, int64_t* pnFileUs);
    // A grab's change for slot nSlot (-1: a grab no slot takes, past a pause
    // or stop point).
    void TakeSlot(int64_t nSlot, const std::vector<CRect>& vChanged);
    int64_t AddChanged(const std::vector<CRect>& vNew);
    // Ends the track at nFileUs (pause, stop) with a frame, unless one is
    // there and nothing changed since.
    void CloseTrack(int64_t nFileUs);
    // Hands what the pacer decided to the encoder; bWait: never dropped for
    // a busy encoder.
    void Submit(const CPace& pace, bool bWait);
    // Runs a thread's body: what it throws (an allocation that failed) ends
    // the thread with a status, never the host.
    void Guarded(void (CSession::*pfnBody)()) noexcept;
    // With a constant rate: a picture for slot nSlot in which every
    // macroblock is skipped (the picture before it again, for tens of bytes
    // and no per-macroblock work), when the encoder has room for it.
    void SubmitFiller(int64_t nSlot);
    // Encodes such pictures for the slots from m_nNextSlot up to pNext's.
    // With m_mutexEncode held.
    HRESULT FillSlots(const AVFrame* pNext);
    void VideoThread();
    void EncodeThread();
    void AudioThread();
    // Hands a block to the mixer where the timeline puts each of its
    // samples: cut at a pause or the stop, nothing from before the start.
    void PlaceAudio(CAudioMixer* pMixer, int iSource, const CAudioBlock& block, int64_t nReadUs);
    HRESULT WriteMix(CAudioMixer* pMixer, int64_t nUntil);
    void StopThreads();
    void StopSources();

    CSnapshot m_snap;
    bool m_bVideo = false;
    bool m_bAudio = false;
    // DESKVID_TIMING=constant: a picture in every slot of the frame rate,
    // for editors that handle a variable rate poorly.
    bool m_bConstantRate = false;
    CVideoParams m_video;
    std::unique_ptr<IScreenSource> m_pScreen;
    std::vector<std::unique_ptr<IAudioSource>> m_vAudio;  // mixed into one track
    CConverter m_converter;
    CAllSkippedMap m_allSkipped;  // the map of every filler picture
    std::mutex m_mutexPacer;      // the video thread decides, the encoder reports
    std::unique_ptr<CVideoPacer> m_pPacer;
    std::vector<CRect> m_vUnencoded;
    std::unique_ptr<COutput> m_pOutput;

    std::mutex m_mutex;  // the timeline, the stop flag
    std::condition_variable m_cvStop;
    CTimeline m_timeline;
    bool m_bStopping = false;
    int64_t m_nStopUs = 0;       // when the stop came, on MonotonicUs()'s clock
    bool m_bPauseFrame = false;  // a pause the video thread has to close the track for
    int64_t m_nPauseFileUs = 0;
    bool m_bStarted = false;
    bool m_bFirstPicture = false;  // encoded, by a start that may have failed after it
    bool m_bFinished = false;

    CBoundedQueue<CVideoJob> m_qFrames{1};
    // The video encoder's use; with a constant rate the video thread
    // encodes a filler itself when the encoder is idle (no thread to wake).
    std::mutex m_mutexEncode;
    int64_t m_nNextSlot = 1;  // after the last picture encoded (the first: at the start)
    std::thread m_thVideo;
    std::thread m_thEncode;
    std::thread m_thAudio;
    int64_t m_nLastSlot = -1;
    bool m_bResumed = false;   // no slot taken since a pause's frame
    bool m_bPictured = false;  // the screen has given a picture
    std::atomic<int64_t> m_nDropped{0};
    std::atomic<HRESULT> m_hrScreen{S_OK};
    std::atomic<HRESULT> m_hrAudio{S_OK};
    std::vector<int16_t> m_vMix;            // the audio thread's
    std::atomic<int64_t> m_nAudioGapMs{0};  // silence where no device delivered
    std::atomic<HRESULT> m_hrOutput{S_OK};
};

}  // namespace dvengine
