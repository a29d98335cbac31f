#include "engine/linux/LibavSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
}
#include <libyuv/convert.h>
#include <libyuv/scale.h>

#include "deskvid/deskvid_status.h"
#include "engine/linux/LibavLog.h"

namespace libav {
namespace {

// How often what the muxer has written is pushed to the file, so that a
// process killed mid-recording leaves a file that decodes up to about then.
constexpr int64_t kFlushIntervalUs = 250000;
// How long the audio thread waits before asking the server again.
constexpr unsigned kAudioPollUs = 5000;
// How long a stop waits for the audio captured before it.
constexpr int64_t kAudioDrainUs = 250000;
// How far the audio's sample count may stray from the capture clock.
constexpr int64_t kAudioToleranceSamples = kAudioSampleRate * 60 / 1000;

std::string AvError(int nErr) {
    char sz[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(nErr, sz, sizeof(sz));
    return sz;
}

void RegisterDevices() {
    static std::once_flag s_once;
    std::call_once(s_once, [] { avdevice_register_all(); });
}

constexpr char kDroppedTag[] = "deskvid_dropped_frames";

std::string DroppedText(int64_t nDropped) {
    char sz[24];
    std::snprintf(
        sz, sizeof(sz), "%010lld",
        static_cast<long long>(std::min<int64_t>(std::max<int64_t>(nDropped, 0), 9999999999LL)));
    return sz;
}

int Align(int n, int nAlign) {
    return (n + nAlign - 1) / nAlign * nAlign;
}

}  // namespace

CSession::CSession(const CSnapshot& snap) : m_snap(snap) {
    m_bVideo = (snap.profile.lContentType & kContentVideo) != 0;
    m_bAudio = (snap.profile.lContentType & kContentAudio) != 0;
}

HRESULT CSession::Open(const CSnapshot& snap, std::unique_ptr<CSession>* ppSession) {
    HRESULT hr = CheckSnapshot(snap);
    if (FAILED(hr)) {
        return hr;
    }
    InstallLogCallback();
    RegisterDevices();
    CEngineThreadScope scope;
    std::unique_ptr<CSession> pSession;
    try {
        pSession.reset(new CSession(snap));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (pSession->m_bVideo) {
        hr = pSession->OpenScreen();
    }
    if (SUCCEEDED(hr) && pSession->m_bAudio) {
        hr = pSession->OpenAudio();
    }
    if (SUCCEEDED(hr)) {
        hr = pSession->OpenOutput();
    }
    if (FAILED(hr)) {
        pSession->Close(true);
        return hr;
    }
    *ppSession = std::move(pSession);
    return S_OK;
}

HRESULT CSession::OpenScreen() {
    const char* pszDisplay = std::getenv("DISPLAY");
    if (pszDisplay == nullptr || *pszDisplay == 0) {
        SetLastError("no display: DISPLAY is not set");
        return DV_E_NO_DISPLAY;
    }
    const CVideoParams rate = MapVideo(m_snap.profile, 2, 2);
    const AVInputFormat* pFormat = av_find_input_format("x11grab");
    if (pFormat == nullptr) {
        SetLastError("screen capture (x11grab) is not available");
        return DV_E_NO_DISPLAY;
    }
    AVDictionary* pOptions = nullptr;
    char szRate[32];
    std::snprintf(szRate, sizeof(szRate), "%d/%d", rate.nFpsNum, rate.nFpsDen);
    av_dict_set(&pOptions, "framerate", szRate, 0);
    av_dict_set(&pOptions, "draw_mouse", "1", 0);
    int nErr = avformat_open_input(&m_pScreen, pszDisplay, pFormat, &pOptions);
    av_dict_free(&pOptions);
    if (nErr < 0) {
        SetLastError(std::string("cannot capture display ") + pszDisplay + ": " + AvError(nErr));
        return DV_E_NO_DISPLAY;
    }
    if (m_pScreen->nb_streams < 1) {
        return DV_E_NO_DISPLAY;
    }
    const AVCodecParameters* pPar = m_pScreen->streams[0]->codecpar;
    const AVPixelFormat fmt = static_cast<AVPixelFormat>(pPar->format);
    if (fmt == AV_PIX_FMT_BGR0 || fmt == AV_PIX_FMT_BGRA) {
        m_bScreenRgba = false;
    } else if (fmt == AV_PIX_FMT_RGB0 || fmt == AV_PIX_FMT_RGBA) {
        m_bScreenRgba = true;
    } else {
        SetLastError("the display's pixel format is not 32-bit colour");
        return DV_E_NO_DISPLAY;
    }
    m_nScreenWidth = pPar->width;
    m_nScreenHeight = pPar->height;
    if (m_nScreenWidth < 2 || m_nScreenHeight < 2) {
        return DV_E_NO_DISPLAY;
    }
    m_video = MapVideo(m_snap.profile, m_nScreenWidth, m_nScreenHeight);
    return S_OK;
}

HRESULT CSession::OpenAudio() {
    const AVInputFormat* pFormat = av_find_input_format("pulse");
    if (pFormat == nullptr) {
        SetLastError("audio capture (pulse) is not available");
        return DV_E_NO_AUDIO;
    }
    AVDictionary* pOptions = nullptr;
    av_dict_set_int(&pOptions, "sample_rate", kAudioSampleRate, 0);
    av_dict_set_int(&pOptions, "channels", kAudioChannels, 0);
    av_dict_set(&pOptions, "name", "deskvid", 0);
    av_dict_set(&pOptions, "stream_name", "screen recording", 0);
    // Ask for 50 ms fragments: left to itself the server may hold a second
    // or more before the first one arrives.
    av_dict_set_int(&pOptions, "fragment_size", kAudioSampleRate / 20 * kAudioChannels * 2, 0);
    int nErr = avformat_open_input(&m_pAudioIn, "default", pFormat, &pOptions);
    av_dict_free(&pOptions);
    if (nErr < 0) {
        SetLastError("cannot capture the default audio input: " + AvError(nErr));
        return DV_E_NO_AUDIO;
    }
    if (m_pAudioIn->nb_streams < 1) {
        return DV_E_NO_AUDIO;
    }
    // Ask not to block, where the device offers that. FFmpeg's pulse input
    // blocks regardless, for at most one 50 ms fragment while the server
    // runs; a stop then waits for that fragment, which it wants anyway.
    m_pAudioIn->flags |= AVFMT_FLAG_NONBLOCK;
    return S_OK;
}

HRESULT CSession::OpenOutput() {
    int nErr = avformat_alloc_output_context2(&m_pOut, nullptr, "asf", m_snap.strFile.c_str());
    if (nErr < 0 || m_pOut == nullptr) {
        SetLastError("the ASF muxer is not available: " + AvError(nErr));
        return DV_E_ENCODER;
    }
    const bool bGlobalHeader = (m_pOut->oformat->flags & AVFMT_GLOBALHEADER) != 0;

    if (m_bVideo) {
        const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
        m_pVideoEnc = pCodec != nullptr ? avcodec_alloc_context3(pCodec) : nullptr;
        if (m_pVideoEnc == nullptr) {
            SetLastError("the WMV2 encoder is not available");
            return DV_E_ENCODER;
        }
        m_pVideoEnc->width = m_video.nWidth;
        m_pVideoEnc->height = m_video.nHeight;
        m_pVideoEnc->pix_fmt = AV_PIX_FMT_YUV420P;
        m_pVideoEnc->time_base = AVRational{m_video.nFpsDen, m_video.nFpsNum};
        m_pVideoEnc->framerate = AVRational{m_video.nFpsNum, m_video.nFpsDen};
        // Constant bit rate: the rate control holds the nominal rate over
        // one-second windows. A VBV buffer (maximum rate) would hold it
        // tighter but makes the encoder re-code frames: a quarter more CPU.
        m_pVideoEnc->bit_rate = m_video.nBitrate;
        m_pVideoEnc->bit_rate_tolerance =
            static_cast<int>(std::min<int64_t>(m_video.nBitrate, INT32_MAX));
        m_pVideoEnc->gop_size = m_video.nGopFrames;
        m_pVideoEnc->max_b_frames = 0;
        m_pVideoEnc->qmin = m_video.nQMin;
        m_pVideoEnc->qmax = m_video.nQMax;
        m_pVideoEnc->thread_count = 1;
        if (bGlobalHeader) {
            m_pVideoEnc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        nErr = avcodec_open2(m_pVideoEnc, pCodec, nullptr);
        if (nErr < 0) {
            SetLastError("cannot open the WMV2 encoder: " + AvError(nErr));
            return DV_E_ENCODER;
        }
        m_pVideoStream = avformat_new_stream(m_pOut, nullptr);
        if (m_pVideoStream == nullptr ||
            avcodec_parameters_from_context(m_pVideoStream->codecpar, m_pVideoEnc) < 0) {
            return E_OUTOFMEMORY;
        }
        m_pVideoStream->time_base = m_pVideoEnc->time_base;
        m_pVideoStream->avg_frame_rate = m_pVideoEnc->framerate;
        m_pVideoStream->r_frame_rate = m_pVideoEnc->framerate;

        // Pictures for the encoder come from a pool, so that converting a
        // frame never waits for fresh memory.
        m_nLumaStride = Align(m_video.nWidth, 64);
        m_nChromaStride = Align(m_video.nWidth / 2, 64);
        const size_t cbFrame = static_cast<size_t>(m_nLumaStride) * m_video.nHeight +
                               static_cast<size_t>(m_nChromaStride) * (m_video.nHeight / 2) * 2 +
                               64;
        m_pFramePool = av_buffer_pool_init(cbFrame, av_buffer_alloc);
        if (m_pFramePool == nullptr) {
            return E_OUTOFMEMORY;
        }
    }

    if (m_bAudio) {
        const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
        m_pAudioEnc = pCodec != nullptr ? avcodec_alloc_context3(pCodec) : nullptr;
        if (m_pAudioEnc == nullptr) {
            SetLastError("the WMA2 encoder is not available");
            return DV_E_ENCODER;
        }
        m_pAudioEnc->sample_fmt = AV_SAMPLE_FMT_FLTP;
        m_pAudioEnc->sample_rate = kAudioSampleRate;
        av_channel_layout_default(&m_pAudioEnc->ch_layout, kAudioChannels);
        m_pAudioEnc->bit_rate = kAudioBitrate;
        m_pAudioEnc->time_base = AVRational{1, kAudioSampleRate};
        if (bGlobalHeader) {
            m_pAudioEnc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        nErr = avcodec_open2(m_pAudioEnc, pCodec, nullptr);
        if (nErr < 0) {
            SetLastError("cannot open the WMA2 encoder: " + AvError(nErr));
            return DV_E_ENCODER;
        }
        m_pAudioStream = avformat_new_stream(m_pOut, nullptr);
        if (m_pAudioStream == nullptr ||
            avcodec_parameters_from_context(m_pAudioStream->codecpar, m_pAudioEnc) < 0) {
            return E_OUTOFMEMORY;
        }
        m_pAudioStream->time_base = m_pAudioEnc->time_base;

        // What the audio server delivers, converted to the encoder's planar
        // float; usually the same rate and channels, so no resampling.
        const AVCodecParameters* pIn = m_pAudioIn->streams[0]->codecpar;
        AVSampleFormat inFmt = AV_SAMPLE_FMT_S16;
        switch (pIn->codec_id) {
            case AV_CODEC_ID_PCM_S16LE:
                inFmt = AV_SAMPLE_FMT_S16;
                break;
            case AV_CODEC_ID_PCM_S32LE:
                inFmt = AV_SAMPLE_FMT_S32;
                break;
            case AV_CODEC_ID_PCM_F32LE:
                inFmt = AV_SAMPLE_FMT_FLT;
                break;
            default:
                SetLastError("the audio input's sample format is not supported");
                return DV_E_NO_AUDIO;
        }
        AVChannelLayout inLayout;
        av_channel_layout_default(&inLayout, pIn->ch_layout.nb_channels > 0
                                                 ? pIn->ch_layout.nb_channels
                                                 : kAudioChannels);
        nErr = swr_alloc_set_opts2(
            &m_pSwr, &m_pAudioEnc->ch_layout, AV_SAMPLE_FMT_FLTP, kAudioSampleRate, &inLayout,
            inFmt, pIn->sample_rate > 0 ? pIn->sample_rate : kAudioSampleRate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        if (nErr < 0 || swr_init(m_pSwr) < 0) {
            SetLastError("cannot convert the audio input's samples");
            return DV_E_NO_AUDIO;
        }
        m_pFifo =
            av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, kAudioChannels,
                                m_pAudioEnc->frame_size > 0 ? m_pAudioEnc->frame_size * 4 : 8192);
        m_pAudioFrame = av_frame_alloc();
        if (m_pFifo == nullptr || m_pAudioFrame == nullptr) {
            return E_OUTOFMEMORY;
        }
    }

    auto SetTag = [this](const char* pszKey, const std::string& strValue) {
        if (!strValue.empty()) {
            av_dict_set(&m_pOut->metadata, pszKey, strValue.c_str(), 0);
        }
    };
    SetTag("title", m_snap.strTitle);
    SetTag("author", m_snap.strAuthor);
    SetTag("copyright", m_snap.strCopyright);
    SetTag("comment", m_snap.strDescription);
    SetTag("rating", m_snap.strRating);
    if (m_bVideo) {
        // Frames lost because encoding fell behind, for whoever checks a
        // recording (hosts see nothing else of the engine). Fixed width:
        // the trailer rewrites the header in place with the final count.
        SetTag(kDroppedTag, DroppedText(0));
    }
    // Interleave within a flush interval, so that buffered material reaches
    // the file soon even when one stream lags.
    m_pOut->max_interleave_delta = kFlushIntervalUs;

    // Opening truncates: never a file that another recording (of this
    // process or another) is writing. The lock says which file is taken.
    HRESULT hr = LockFile();
    if (FAILED(hr)) {
        return hr;
    }
    nErr = avio_open(&m_pOut->pb, m_snap.strFile.c_str(), AVIO_FLAG_WRITE);
    if (nErr < 0) {
        SetLastError("cannot create " + m_snap.strFile + ": " + AvError(nErr));
        return DV_E_FILE_OPEN;
    }
    m_bFileCreated = true;
    nErr = avformat_write_header(m_pOut, nullptr);
    if (nErr < 0) {
        SetLastError("cannot write " + m_snap.strFile + ": " + AvError(nErr));
        return DV_E_FILE_OPEN;
    }
    m_bHeaderWritten = true;
    avio_flush(m_pOut->pb);
    if (m_pOut->pb->error < 0) {
        SetLastError("cannot write " + m_snap.strFile + ": " + AvError(m_pOut->pb->error));
        return DV_E_FILE_OPEN;
    }
    return S_OK;
}

bool CFileId::Of(const std::string& strPath, CFileId* pId) {
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0) {
        return false;
    }
    pId->bValid = true;
    pId->nDevice = st.st_dev;
    pId->nInode = st.st_ino;
    return true;
}

HRESULT CSession::LockFile() {
    const char* pszPath = m_snap.strFile.c_str();
    m_fdLock = open(pszPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (m_fdLock >= 0) {
        m_bFileCreated = true;
    } else if (errno == EEXIST) {
        m_fdLock = open(pszPath, O_WRONLY | O_CLOEXEC);
    }
    if (m_fdLock < 0) {
        SetLastError("cannot create " + m_snap.strFile + ": " + std::strerror(errno));
        return DV_E_FILE_OPEN;
    }
    // Held until the session closes; where locks are not offered at all the
    // recording goes on unguarded.
    if (flock(m_fdLock, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        SetLastError(m_snap.strFile + " is being recorded already");
        close(m_fdLock);
        m_fdLock = -1;
        return DV_E_FILE_OPEN;
    }
    return S_OK;
}

void CSession::Close(bool bRemoveFile) {
    if (m_pOut != nullptr) {
        if (m_pOut->pb != nullptr) {
            avio_closep(&m_pOut->pb);
        }
        avformat_free_context(m_pOut);
        m_pOut = nullptr;
    }
    if (bRemoveFile && m_bFileCreated) {
        // Only a plain file is ours to remove: a path naming a device or a
        // pipe (say /dev/full) stays whatever it is.
        struct stat st;
        if (lstat(m_snap.strFile.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            std::remove(m_snap.strFile.c_str());
        }
    }
    m_bFileCreated = false;
    if (m_fdLock >= 0) {
        close(m_fdLock);
        m_fdLock = -1;
    }
    avcodec_free_context(&m_pVideoEnc);
    avcodec_free_context(&m_pAudioEnc);
    avformat_close_input(&m_pScreen);
    avformat_close_input(&m_pAudioIn);
    av_buffer_pool_uninit(&m_pFramePool);
    swr_free(&m_pSwr);
    if (m_pFifo != nullptr) {
        av_audio_fifo_free(m_pFifo);
        m_pFifo = nullptr;
    }
    av_frame_free(&m_pAudioFrame);
}

CSession::~CSession() {
    if (m_bStarted && !m_bFinished) {
        Finish();
    } else if (!m_bFinished) {
        CEngineThreadScope scope;
        Close(true);
    }
}

bool CSession::MapTime(int64_t nTs, int64_t* pnFileUs) {
    std::lock_guard<std::mutex> lock(m_mutexTimeline);
    return m_timeline.Map(nTs, pnFileUs);
}

HRESULT CSession::Start() {
    if (m_bFinished) {
        return DV_E_NOT_PREPARED;
    }
    if (m_bStarted) {
        std::lock_guard<std::mutex> lock(m_mutexTimeline);
        m_timeline.Resume(av_gettime());
        return S_OK;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutexTimeline);
        m_timeline.Start(av_gettime());
    }
    m_bStarted = true;
    try {
        if (m_bVideo) {
            m_vThreads.emplace_back(&CSession::VideoEncodeThread, this);
            m_vThreads.emplace_back(&CSession::ConvertThread, this);
            m_vThreads.emplace_back(&CSession::VideoCaptureThread, this);
        }
        if (m_bAudio) {
            m_vThreads.emplace_back(&CSession::AudioThread, this);
        }
    } catch (const std::exception&) {
        // Whatever did start is wound down by Finish(); the file stays valid.
        SetLastError("cannot start the recording threads");
        Finish();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CSession::Pause() {
    if (!m_bStarted || m_bFinished) {
        return DV_E_NOT_PREPARED;
    }
    std::lock_guard<std::mutex> lock(m_mutexTimeline);
    m_timeline.Pause(av_gettime());
    return S_OK;
}

void CSession::JoinThreads() {
    m_bStopping = true;
    // A capture thread that never ran leaves its queue open: close both so
    // that the threads after it end too.
    if (m_vThreads.size() < 3) {
        m_qCaptured.Close();
        m_qFrames.Close();
    }
    for (std::thread& th : m_vThreads) {
        if (th.joinable()) {
            th.join();
        }
    }
    m_vThreads.clear();
    // Anything a failed start left behind.
    CCaptured item;
    while (m_qCaptured.Pop(&item)) {
        av_packet_free(&item.pPacket);
    }
    AVFrame* pFrame = nullptr;
    while (m_qFrames.Pop(&pFrame)) {
        av_frame_free(&pFrame);
    }
}

HRESULT CSession::Finish() {
    if (m_bFinished) {
        return S_OK;
    }
    CEngineThreadScope scope;
    {
        std::lock_guard<std::mutex> lock(m_mutexTimeline);
        m_timeline.Stop(av_gettime());
    }
    JoinThreads();
    m_bFinished = true;

    if (m_bHeaderWritten && !m_bWriteFailed) {
        if (m_bVideo) {
            av_dict_set(&m_pOut->metadata, kDroppedTag, DroppedText(m_nDropped).c_str(), 0);
        }
        int nErr = av_write_trailer(m_pOut);
        if (nErr < 0) {
            SetLastError("cannot finish " + m_snap.strFile + ": " + AvError(nErr));
            m_bWriteFailed = true;
        }
    }
    if (m_pOut != nullptr && m_pOut->pb != nullptr) {
        avio_flush(m_pOut->pb);
        if (m_pOut->pb->error < 0) {
            m_bWriteFailed = true;
        }
        if (avio_closep(&m_pOut->pb) < 0) {
            m_bWriteFailed = true;
        }
    }
    Close(false);
    if (m_bWriteFailed) {
        return DV_E_WRITE;
    }
    if (m_bEncoderFailed) {
        return DV_E_ENCODER;
    }
    if (m_bScreenLost) {
        return DV_E_NO_DISPLAY;
    }
    if (m_bAudioLost) {
        return DV_E_NO_AUDIO;
    }
    return S_OK;
}

void CSession::VideoCaptureThread() {
    CEngineThreadScope scope;
    while (!m_bStopping) {
        AVPacket* pPacket = av_packet_alloc();
        if (pPacket == nullptr) {
            m_bScreenLost = true;
            break;
        }
        const int nErr = av_read_frame(m_pScreen, pPacket);
        if (nErr == AVERROR(EAGAIN)) {
            av_packet_free(&pPacket);
            av_usleep(1000);
            continue;
        }
        if (nErr < 0) {
            SetLastError("screen capture failed: " + AvError(nErr));
            av_packet_free(&pPacket);
            m_bScreenLost = true;
            break;
        }
        int64_t nFileUs = 0;
        if (!MapTime(pPacket->pts, &nFileUs)) {
            av_packet_free(&pPacket);
            continue;
        }
        if (!m_qCaptured.TryPush(CCaptured{pPacket, nFileUs})) {
            ++m_nDropped;
            av_packet_free(&pPacket);
        }
    }
    m_qCaptured.Close();
}

void CSession::ConvertThread() {
    CEngineThreadScope scope;
    const int nWidth = m_video.nWidth;
    const int nHeight = m_video.nHeight;
    const bool bScale = nWidth != m_nScreenWidth || nHeight != m_nScreenHeight;
    std::vector<uint8_t> vScratch;
    const int nHalfW = (m_nScreenWidth + 1) / 2;
    const int nHalfH = (m_nScreenHeight + 1) / 2;
    if (bScale) {
        vScratch.resize(static_cast<size_t>(m_nScreenWidth) * m_nScreenHeight +
                        static_cast<size_t>(nHalfW) * nHalfH * 2);
    }
    CCaptured item;
    while (m_qCaptured.Pop(&item)) {
        AVPacket* pPacket = item.pPacket;
        const int nSrcStride = pPacket->size / m_nScreenHeight;
        AVFrame* pFrame = av_frame_alloc();
        AVBufferRef* pBuf = pFrame != nullptr ? av_buffer_pool_get(m_pFramePool) : nullptr;
        if (pBuf == nullptr || nSrcStride < m_nScreenWidth * 4) {
            av_frame_free(&pFrame);
            av_buffer_unref(&pBuf);
            av_packet_free(&pPacket);
            ++m_nDropped;
            continue;
        }
        pFrame->buf[0] = pBuf;
        pFrame->format = AV_PIX_FMT_YUV420P;
        pFrame->width = nWidth;
        pFrame->height = nHeight;
        pFrame->linesize[0] = m_nLumaStride;
        pFrame->linesize[1] = m_nChromaStride;
        pFrame->linesize[2] = m_nChromaStride;
        pFrame->data[0] = pBuf->data;
        pFrame->data[1] = pFrame->data[0] + static_cast<size_t>(m_nLumaStride) * nHeight;
        pFrame->data[2] = pFrame->data[1] + static_cast<size_t>(m_nChromaStride) * (nHeight / 2);

        auto ToI420 = m_bScreenRgba ? libyuv::ABGRToI420 : libyuv::ARGBToI420;
        if (!bScale) {
            ToI420(pPacket->data, nSrcStride, pFrame->data[0], pFrame->linesize[0], pFrame->data[1],
                   pFrame->linesize[1], pFrame->data[2], pFrame->linesize[2], nWidth, nHeight);
        } else {
            uint8_t* pY = vScratch.data();
            uint8_t* pU = pY + static_cast<size_t>(m_nScreenWidth) * m_nScreenHeight;
            uint8_t* pV = pU + static_cast<size_t>(nHalfW) * nHalfH;
            ToI420(pPacket->data, nSrcStride, pY, m_nScreenWidth, pU, nHalfW, pV, nHalfW,
                   m_nScreenWidth, m_nScreenHeight);
            libyuv::I420Scale(pY, m_nScreenWidth, pU, nHalfW, pV, nHalfW, m_nScreenWidth,
                              m_nScreenHeight, pFrame->data[0], pFrame->linesize[0],
                              pFrame->data[1], pFrame->linesize[1], pFrame->data[2],
                              pFrame->linesize[2], nWidth, nHeight, libyuv::kFilterBox);
        }
        av_packet_free(&pPacket);

        int64_t nPts = FrameIndex(item.nFileUs, m_video.nFpsNum, m_video.nFpsDen);
        if (nPts <= m_nLastVideoPts) {
            nPts = m_nLastVideoPts + 1;
        }
        m_nLastVideoPts = nPts;
        pFrame->pts = nPts;
        if (!m_qFrames.Push(pFrame)) {
            av_frame_free(&pFrame);
        }
    }
    m_qFrames.Close();
}

void CSession::VideoEncodeThread() {
    CEngineThreadScope scope;
    AVFrame* pFrame = nullptr;
    while (m_qFrames.Pop(&pFrame)) {
        EncodeVideo(pFrame);
        av_frame_free(&pFrame);
    }
    EncodeVideo(nullptr);
}

void CSession::EncodeVideo(AVFrame* pFrame) {
    Encode(m_pVideoEnc, m_pVideoStream, pFrame, "video");
}

// Sends one frame (null: drain) and writes every packet the encoder has
// ready. The first failure stops all encoding; Stop reports it.
void CSession::Encode(AVCodecContext* pEnc, AVStream* pStream, AVFrame* pFrame,
                      const char* pszWhat) {
    if (m_bEncoderFailed) {
        return;
    }
    int nErr = avcodec_send_frame(pEnc, pFrame);
    if (nErr < 0) {
        SetLastError(std::string(pszWhat) + " encoding failed: " + AvError(nErr));
        m_bEncoderFailed = true;
        return;
    }
    AVPacket* pPacket = av_packet_alloc();
    if (pPacket == nullptr) {
        m_bEncoderFailed = true;
        return;
    }
    while ((nErr = avcodec_receive_packet(pEnc, pPacket)) >= 0) {
        pPacket->stream_index = pStream->index;
        av_packet_rescale_ts(pPacket, pEnc->time_base, pStream->time_base);
        WritePacket(pPacket);
    }
    if (nErr != AVERROR(EAGAIN) && nErr != AVERROR_EOF) {
        SetLastError(std::string(pszWhat) + " encoding failed: " + AvError(nErr));
        m_bEncoderFailed = true;
    }
    av_packet_free(&pPacket);
}

void CSession::AudioThread() {
    CEngineThreadScope scope;
    const AVCodecParameters* pIn = m_pAudioIn->streams[0]->codecpar;
    const int nInChannels =
        pIn->ch_layout.nb_channels > 0 ? pIn->ch_layout.nb_channels : kAudioChannels;
    const int cbInSample = av_get_bits_per_sample(pIn->codec_id) / 8 * nInChannels;
    uint8_t** ppConverted = nullptr;
    int nConvertedMax = 0;
    // Samples reach the file a fragment after they were captured: after a
    // stop, go on reading until the stop time has been covered.
    int64_t nDrainDeadline = 0;
    for (;;) {
        if (m_bStopping) {
            const int64_t nNow = av_gettime_relative();
            if (nDrainDeadline == 0) {
                nDrainDeadline = nNow + kAudioDrainUs;
            } else if (nNow >= nDrainDeadline) {
                break;
            }
        }
        AVPacket* pPacket = av_packet_alloc();
        if (pPacket == nullptr) {
            m_bAudioLost = true;
            break;
        }
        const int nErr = av_read_frame(m_pAudioIn, pPacket);
        if (nErr == AVERROR(EAGAIN)) {
            av_packet_free(&pPacket);
            av_usleep(kAudioPollUs);
            continue;
        }
        if (nErr < 0) {
            SetLastError("audio capture failed: " + AvError(nErr));
            av_packet_free(&pPacket);
            m_bAudioLost = true;
            break;
        }
        int64_t nFileUs = 0;
        if (cbInSample <= 0 || !MapTime(pPacket->pts, &nFileUs)) {
            const bool bEnded = AudioEnded(pPacket->pts);
            av_packet_free(&pPacket);
            if (bEnded) {
                break;
            }
            continue;
        }
        // The sample count keeps the stream continuous; where it strays from
        // the capture clock by more than a fragment or two (the server's
        // first fragments come late, a pause cuts mid-fragment), silence is
        // put in or samples left out.
        const int64_t nCorrection =
            AudioCorrection(av_rescale(nFileUs, kAudioSampleRate, 1000000),
                            m_nAudioNext + av_audio_fifo_size(m_pFifo), kAudioToleranceSamples);
        if (nCorrection > 0 && !PadAudio(nCorrection)) {
            av_packet_free(&pPacket);
            m_bEncoderFailed = true;
            break;
        }
        int nSkip =
            nCorrection < 0 ? static_cast<int>(std::min<int64_t>(-nCorrection, INT32_MAX)) : 0;
        const int nIn = pPacket->size / cbInSample;
        const int nOutMax = swr_get_out_samples(m_pSwr, nIn);
        if (nOutMax > nConvertedMax) {
            if (ppConverted != nullptr) {
                av_freep(&ppConverted[0]);
                av_freep(&ppConverted);
            }
            nConvertedMax = 0;
            if (av_samples_alloc_array_and_samples(&ppConverted, nullptr, kAudioChannels, nOutMax,
                                                   AV_SAMPLE_FMT_FLTP, 0) < 0) {
                ppConverted = nullptr;
                av_packet_free(&pPacket);
                m_bAudioLost = true;
                break;
            }
            nConvertedMax = nOutMax;
        }
        const uint8_t* pSrc = pPacket->data;
        const int nOut = swr_convert(m_pSwr, ppConverted, nConvertedMax, &pSrc, nIn);
        av_packet_free(&pPacket);
        if (nOut > nSkip) {
            if (nSkip > 0) {
                for (int i = 0; i < kAudioChannels; ++i) {
                    ppConverted[i] += nSkip * sizeof(float);
                }
            }
            av_audio_fifo_write(m_pFifo, reinterpret_cast<void**>(ppConverted), nOut - nSkip);
            if (nSkip > 0) {
                for (int i = 0; i < kAudioChannels; ++i) {
                    ppConverted[i] -= nSkip * sizeof(float);
                }
            }
            EncodeAudioFifo(false);
        }
    }
    // The audio server may not have delivered the last stretch (or, in a
    // short recording, anything at all) by the time the drain gives up: the
    // sound track still covers the whole recording, in silence.
    if (m_bStopping && !m_bAudioLost && !m_bEncoderFailed) {
        const int64_t nEnd = av_rescale(AudioEndUs(), kAudioSampleRate, 1000000);
        const int64_t nHave = m_nAudioNext + av_audio_fifo_size(m_pFifo);
        if (nEnd > nHave && !PadAudio(nEnd - nHave)) {
            m_bEncoderFailed = true;
        }
    }
    EncodeAudioFifo(true);
    EncodeAudio(nullptr);
    if (ppConverted != nullptr) {
        av_freep(&ppConverted[0]);
        av_freep(&ppConverted);
    }
}

int64_t CSession::AudioEndUs() {
    std::lock_guard<std::mutex> lock(m_mutexTimeline);
    return m_timeline.FileEndUs();
}

bool CSession::AudioEnded(int64_t nTs) {
    std::lock_guard<std::mutex> lock(m_mutexTimeline);
    return m_timeline.Ended(nTs);
}

bool CSession::PadAudio(int64_t nSamples) {
    constexpr int kChunk = 4096;
    uint8_t** ppSilence = nullptr;
    if (av_samples_alloc_array_and_samples(&ppSilence, nullptr, kAudioChannels, kChunk,
                                           AV_SAMPLE_FMT_FLTP, 0) < 0) {
        return false;
    }
    av_samples_set_silence(ppSilence, 0, kChunk, kAudioChannels, AV_SAMPLE_FMT_FLTP);
    bool bOk = true;
    while (nSamples > 0 && bOk && !m_bEncoderFailed) {
        const int n = static_cast<int>(std::min<int64_t>(nSamples, kChunk));
        bOk = av_audio_fifo_write(m_pFifo, reinterpret_cast<void**>(ppSilence), n) == n;
        nSamples -= n;
        EncodeAudioFifo(false);
    }
    av_freep(&ppSilence[0]);
    av_freep(&ppSilence);
    return bOk;
}

void CSession::EncodeAudioFifo(bool bFlush) {
    const int nFrame = m_pAudioEnc->frame_size > 0 ? m_pAudioEnc->frame_size : 2048;
    while (av_audio_fifo_size(m_pFifo) >= nFrame || (bFlush && av_audio_fifo_size(m_pFifo) > 0)) {
        AVFrame* pFrame = m_pAudioFrame;
        av_frame_unref(pFrame);
        pFrame->nb_samples = nFrame;
        pFrame->format = AV_SAMPLE_FMT_FLTP;
        pFrame->sample_rate = kAudioSampleRate;
        if (av_channel_layout_copy(&pFrame->ch_layout, &m_pAudioEnc->ch_layout) < 0 ||
            av_frame_get_buffer(pFrame, 0) < 0) {
            m_bEncoderFailed = true;
            return;
        }
        // The last frame of a recording is padded with silence.
        const int nRead =
            av_audio_fifo_read(m_pFifo, reinterpret_cast<void**>(pFrame->data), nFrame);
        if (nRead < nFrame) {
            av_samples_set_silence(pFrame->data, nRead > 0 ? nRead : 0, nFrame - nRead,
                                   kAudioChannels, AV_SAMPLE_FMT_FLTP);
        }
        pFrame->pts = m_nAudioNext;
        m_nAudioNext += nFrame;
        EncodeAudio(pFrame);
        av_frame_unref(pFrame);
    }
}

void CSession::EncodeAudio(AVFrame* pFrame) {
    Encode(m_pAudioEnc, m_pAudioStream, pFrame, "audio");
}

void CSession::WritePacket(AVPacket* pPacket) {
    std::lock_guard<std::mutex> lock(m_mutexMux);
    if (m_bWriteFailed) {
        av_packet_unref(pPacket);
        return;
    }
    const int nErr = av_interleaved_write_frame(m_pOut, pPacket);
    if (nErr < 0) {
        SetLastError("cannot write " + m_snap.strFile + ": " + AvError(nErr));
        m_bWriteFailed = true;
        return;
    }
    const int64_t nNow = av_gettime_relative();
    if (nNow - m_nLastFlushUs >= kFlushIntervalUs) {
        m_nLastFlushUs = nNow;
        avio_flush(m_pOut->pb);
    }
    if (m_pOut->pb->error < 0) {
        SetLastError("cannot write " + m_snap.strFile + ": " + AvError(m_pOut->pb->error));
        m_bWriteFailed = true;
    }
}

}  // namespace libav
