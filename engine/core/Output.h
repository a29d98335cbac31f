// The recording's output: the WMV2 and WMA2 encoders, the ASF muxer, its
// tags and the file. One small struct per stream (encoder, stream, packet);
// every packet goes through one locked write. Failures are kept: after the
// first one nothing more is written and Finish() reports it.
//
// Durable: once the recording has started, a thread of the output's own
// (never the host's) pushes what was written to the disk every couple of
// seconds, then brings the header's counts and duration up to it in place,
// so that a file cut anywhere (a killed host, a power loss) plays up to the
// cut, shows its duration and seeks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/core/OutputFile.h"
#include "engine/core/PictureRing.h"
#include "engine/core/Settings.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct AVStream;

namespace dvengine {

struct COutputStream {
    AVCodecContext* pEnc = nullptr;
    AVStream* pStream = nullptr;  // owned by the muxer
    AVPacket* pPacket = nullptr;
    ~COutputStream();
};

class COutput {
public:
    // Opens the encoders, then the file, and writes the header; the file
    // keeps its name as it was until Commit(). nVideo/nAudio: whether the
    // file carries each stream.
    static HRESULT Open(const CSnapshot& snap, const CVideoParams* pVideo, bool bAudio,
                        std::unique_ptr<COutput>* ppOutput);
    // A file that was never finished is removed, unless it was committed.
    ~COutput();
    COutput(const COutput&) = delete;
    COutput& operator=(const COutput&) = delete;

    // The recording replaces the name: once it has started. From then on the
    // file is synced.
    HRESULT Commit();

    // The layout in which the video encoder takes a picture without copying
    // it.
    const CPictureLayout& InputLayout() const { return m_inputLayout; }

    // One picture at its pts (frames of the frame rate), with its quality
    // and type set; null drains. *pnBytes, if given, grows by the size of
    // the packets written. From one thread at a time.
    HRESULT EncodeVideo(AVFrame* pFrame, int64_t* pnBytes = nullptr);

    // Audio as interleaved 16-bit stereo, appended to the stream; from one
    // thread at a time.
    HRESULT WriteAudio(const int16_t* pSamples, int64_t nFrames);
    HRESULT WriteSilence(int64_t nFrames);
    // Samples in the audio stream so far, written or waiting for a whole
    // frame.
    int64_t AudioPosition() const { return m_nAudioPts + m_nAudioFill; }
    // Pads the last audio frame with silence and drains the encoder.
    HRESULT FinishAudio();

    // Writes the trailer (with the count of dropped frames and the sound's
    // gaps) and closes the file: S_OK, or the first failure met since Open().
    HRESULT Finish(int64_t nDropped, int64_t nAudioGapMs = 0);

private:
    COutput() = default;
    HRESULT OpenVideo(const CVideoParams& video);
    HRESULT OpenAudio();
    HRESULT OpenFile(const std::string& strPath);
    HRESULT Encode(COutputStream* pStream, AVFrame* pFrame, int64_t* pnBytes = nullptr,
                   AVPacket* pKeep = nullptr);
    HRESULT WritePacket(COutputStream* pStream, int64_t* pnBytes);
    HRESULT EncodeAudioFrame();
    HRESULT Fail(HRESULT hr);
    void CloseIo();
    void SyncThread();
    void StopSync();
    // Writes what is buffered, syncs it (when bSync), and counts it in the
    // header.
    void SyncOnce(bool bSync);
    void CountInHeader(int64_t nEnd);

    std::string m_strPath;
    AVFormatContext* m_pMux = nullptr;
    COutputStream m_video;
    COutputStream m_audio;
    CPictureLayout m_inputLayout;
    AVFrame* m_pAudioFrame = nullptr;  // filling up to the encoder's frame size
    int m_nAudioFill = 0;
    int64_t m_nAudioPts = 0;
    bool m_bFillSilent = true;   // the frame filling up holds only zeros so far
    bool m_bLastSilent = false;  // so did the frame before it
    // A silent frame's packet once the encoder's window held only silence,
    // and the pts of the frame it was coded from (none yet: INT64_MIN).
    AVPacket* m_pSilentPacket = nullptr;
    int64_t m_nSilentPts = INT64_MIN;
    COutputFile m_file;
    bool m_bHeader = false;
    bool m_bFinished = false;

    std::mutex m_mutex;  // the muxer and what follows
    HRESULT m_hrFailed = S_OK;
    int64_t m_nLastFlushUs = 0;

    // Where the header's data object lies (-1: a header not known, left
    // alone), the data packets' size and how many the header counts.
    int64_t m_nDataObject = -1;
    int64_t m_nPacketSize = 0;
    int64_t m_nCounted = 0;
    std::thread m_thSync;
    std::mutex m_mutexSync;
    std::condition_variable m_cvSync;
    bool m_bSyncStop = false;
};

}  // namespace dvengine
