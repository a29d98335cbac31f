// One recording: the devices, encoders and output file opened from a
// snapshot of the configuration, and the threads that move material between
// them. Capture, colour conversion and video encoding run on threads of
// their own with small bounded queues between them; audio is captured and
// encoded on a fourth thread. Times come from the capture clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/linux/LibavConfig.h"
#include "engine/linux/LibavQueue.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVPacket;
struct AVFrame;
struct AVBufferPool;
struct SwrContext;
struct AVAudioFifo;

namespace libav {

// Which file a path names (device and inode), so that two paths to one file
// are known as one.
struct CFileId {
    bool bValid = false;
    uint64_t nDevice = 0;
    uint64_t nInode = 0;
    bool operator==(const CFileId& o) const {
        return bValid && o.bValid && nDevice == o.nDevice && nInode == o.nInode;
    }
    // False when the path names nothing (yet).
    static bool Of(const std::string& strPath, CFileId* pId);
};

class CSession {
public:
    // Opens devices, encoders and the file, in that order, so that a device
    // that cannot be opened leaves no file behind. On failure nothing stays
    // open and the status names what failed.
    static HRESULT Open(const CSnapshot& snap, std::unique_ptr<CSession>* ppSession);

    // Finishes a started session; a session that was never started is closed
    // and its file removed, as it holds no media.
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    const CSnapshot& Snapshot() const { return m_snap; }
    bool Started() const { return m_bStarted; }

    // Starts the threads, or resumes after a pause.
    HRESULT Start();
    // Suspends capture; the file's timeline goes on without a gap on resume.
    HRESULT Pause();
    // Stops capture, drains the queues and encoders, writes the trailer and
    // closes the file. DV_E_WRITE when anything could not be written.
    HRESULT Finish();

private:
    struct CCaptured {
        AVPacket* pPacket;
        int64_t nFileUs;
    };

    explicit CSession(const CSnapshot& snap);
    HRESULT OpenScreen();
    HRESULT OpenAudio();
    HRESULT OpenOutput();
    void Close(bool bRemoveFile);
    // Creates the output if need be and locks it: DV_E_FILE_OPEN when it
    // cannot be created or another recording holds it.
    HRESULT LockFile();
    void JoinThreads();

    void VideoCaptureThread();
    void ConvertThread();
    void VideoEncodeThread();
    void AudioThread();

    bool MapTime(int64_t nTs, int64_t* pnFileUs);
    void EncodeVideo(AVFrame* pFrame);
    void Encode(AVCodecContext* pEnc, AVStream* pStream, AVFrame* pFrame, const char* pszWhat);
    void EncodeAudio(AVFrame* pFrame);
    void EncodeAudioFifo(bool bFlush);
    // Puts nSamples of silence into the audio stream.
    bool PadAudio(int64_t nSamples);
    int64_t AudioEndUs();
    bool AudioEnded(int64_t nTs);
    void WritePacket(AVPacket* pPacket);

    CSnapshot m_snap;
    bool m_bVideo = false;
    bool m_bAudio = false;
    CVideoParams m_video;

    AVFormatContext* m_pScreen = nullptr;
    int m_nScreenWidth = 0;
    int m_nScreenHeight = 0;
    bool m_bScreenRgba = false;  // bytes R,G,B,x rather than B,G,R,x
    AVFormatContext* m_pAudioIn = nullptr;
    AVCodecContext* m_pVideoEnc = nullptr;
    AVCodecContext* m_pAudioEnc = nullptr;
    AVFormatContext* m_pOut = nullptr;
    AVStream* m_pVideoStream = nullptr;
    AVStream* m_pAudioStream = nullptr;
    bool m_bFileCreated = false;
    int m_fdLock = -1;
    bool m_bHeaderWritten = false;
    AVBufferPool* m_pFramePool = nullptr;
    int m_nLumaStride = 0;
    int m_nChromaStride = 0;
    SwrContext* m_pSwr = nullptr;
    AVAudioFifo* m_pFifo = nullptr;
    AVFrame* m_pAudioFrame = nullptr;

    std::mutex m_mutexTimeline;
    CTimeline m_timeline;
    bool m_bStarted = false;
    bool m_bFinished = false;
    std::atomic<bool> m_bStopping{false};

    CBoundedQueue<CCaptured> m_qCaptured{2};
    CBoundedQueue<AVFrame*> m_qFrames{2};
    std::vector<std::thread> m_vThreads;

    std::mutex m_mutexMux;
    int64_t m_nLastFlushUs = 0;
    std::atomic<bool> m_bWriteFailed{false};
    std::atomic<bool> m_bScreenLost{false};
    std::atomic<bool> m_bAudioLost{false};
    std::atomic<bool> m_bEncoderFailed{false};

    int64_t m_nLastVideoPts = -1;
    std::atomic<int64_t> m_nDropped{0};
    int64_t m_nAudioNext = 0;  // pts of the next audio frame, in samples
};

}  // namespace libav
