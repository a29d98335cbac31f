#include "engine/core/Output.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

#include "deskvid/deskvid_status.h"

namespace dvengine {
namespace {

// How often what the muxer has written is pushed to the file, so that a
// process killed mid-recording leaves a file that decodes up to about then.
constexpr int64_t kFlushIntervalUs = 250000;
constexpr int kIoBufferSize = 64 * 1024;
// How often the header is brought up to what was written, so that a killed
// recording shows its duration to within about that; every few times the
// file is synced to the disk first.
constexpr auto kHeaderInterval = std::chrono::milliseconds(250);
constexpr int kHeadersPerSync = 8;  // a sync every 2 s
constexpr char kDroppedTag[] = "deskvid_dropped_frames";
constexpr char kAudioGapTag[] = "deskvid_audio_gap_ms";

// Fixed width: the trailer rewrites the header in place with the final count.
std::string DroppedText(int64_t nDropped) {
    char sz[24];
    std::snprintf(sz, sizeof(sz), "%010lld",
                  static_cast<long long>(std::clamp<int64_t>(nDropped, 0, 9999999999LL)));
    return sz;
}

// The ASF header as the muxer writes it: the header object's own 30 bytes,
// then the file properties object; the data object (50 bytes) right before
// the first data packet. Offsets of the fields kept up to date, from the
// start of their object. The file size field (at 40) stays 0, as the muxer
// writes it, until the trailer: FFmpeg's reader takes the duration only from
// a header whose size is 0 or within 5% of the file's, and a killed
// recording's file is always longer than what its header last counted.
constexpr int64_t kFileProperties = 30;
constexpr int64_t kFilePacketsField = 56;  // then play duration, send duration (100 ns)
constexpr int64_t kPrerollField = 80;      // milliseconds
constexpr int64_t kDataObjectSize = 50;
constexpr int64_t kDataPacketsField = 40;
constexpr uint8_t kFilePropertiesGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                             0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr uint8_t kDataGuid[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

uint64_t GetLe(const uint8_t* p, int nBytes) {
    uint64_t n = 0;
    for (int i = nBytes - 1; i >= 0; --i) {
        n = (n << 8) | p[i];
    }
    return n;
}

void PutLe64(uint8_t* p, uint64_t n) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(n >> (8 * i));
    }
}

// When a data packet's last payload begins (milliseconds, preroll
// excluded), from the packet's payload parsing information: its send time
// and duration. False when the head is not one.
bool PacketEndMs(const uint8_t* pHead, size_t cb, int64_t* pnEndMs) {
    size_t i = 0;
    if ((pHead[0] & 0x80) != 0) {
        i = 1 + (pHead[0] & 0x0F);  // error correction data
    }
    if (i + 2 > cb) {
        return false;
    }
    const uint8_t nLengthTypes = pHead[i];
    i += 2;  // the length type and property flags
    auto FieldSize = [](int nType) { return nType == 3 ? 4 : nType; };
    i += FieldSize((nLengthTypes >> 5) & 3) + FieldSize((nLengthTypes >> 1) & 3) +
         FieldSize((nLengthTypes >> 3) & 3);
    if (i + 6 > cb) {
        return false;
    }
    *pnEndMs = static_cast<int64_t>(GetLe(pHead + i, 4) + GetLe(pHead + i + 4, 2));
    return true;
}

// The muxer writes through the file's own handle: no protocol, no URL.
int WriteFile(void* pOpaque, uint8_t* pData, int cb) {
    const int nError = static_cast<COutputFile*>(pOpaque)->Write(pData, static_cast<size_t>(cb));
    return nError != 0 ? AVERROR(nError) : cb;
}

int64_t SeekFile(void* pOpaque, int64_t nOffset, int nWhence) {
    COutputFile* pFile = static_cast<COutputFile*>(pOpaque);
    if (nWhence == AVSEEK_SIZE) {
        const int64_t nSize = pFile->Size();
        return nSize < 0 ? AVERROR(static_cast<int>(-nSize)) : nSize;
    }
    const int64_t n = pFile->Seek(nOffset, nWhence & ~AVSEEK_FORCE);
    return n < 0 ? AVERROR(static_cast<int>(-n)) : n;
}

}  // namespace

COutputStream::~COutputStream() {
    avcodec_free_context(&pEnc);
    av_packet_free(&pPacket);
}

HRESULT COutput::Open(const CSnapshot& snap, const CVideoParams* pVideo, bool bAudio,
                      std::unique_ptr<COutput>* ppOutput) {
    std::unique_ptr<COutput> pOut(new (std::nothrow) COutput());
    if (!pOut) {
        return E_OUTOFMEMORY;
    }
    pOut->m_strPath = snap.strFile;
    // No file name for the muxer: it must not open anything itself.
    const int nErr = avformat_alloc_output_context2(&pOut->m_pMux, nullptr, "asf", nullptr);
    if (nErr < 0 || pOut->m_pMux == nullptr) {
        return DV_E_ENCODER;
    }
    HRESULT hr = pVideo != nullptr ? pOut->OpenVideo(*pVideo) : S_OK;
    if (SUCCEEDED(hr) && bAudio) {
        hr = pOut->OpenAudio();
    }
    if (FAILED(hr)) {
        return hr;
    }
    auto SetTag = [&](const char* pszKey, const std::string& strValue) {
        if (!strValue.empty()) {
            av_dict_set(&pOut->m_pMux->metadata, pszKey, strValue.c_str(), 0);
        }
    };
    SetTag("title", snap.strTitle);
    SetTag("author", snap.strAuthor);
    SetTag("copyright", snap.strCopyright);
    SetTag("comment", snap.strDescription);
    SetTag("rating", snap.strRating);
    if (pVideo != nullptr) {
        // Frames lost, for whoever checks a recording (hosts see nothing
        // else of the engine).
        SetTag(kDroppedTag, DroppedText(0));
    }
    if (bAudio) {
        // And the sound's devices' gaps, in milliseconds of silence.
        SetTag(kAudioGapTag, DroppedText(0));
    }
    // Interleave within a flush interval, so that buffered material reaches
    // the file soon even when one stream lags.
    pOut->m_pMux->max_interleave_delta = kFlushIntervalUs;
    hr = pOut->OpenFile(snap.strFile);
    if (FAILED(hr)) {
        return hr;
    }
    *ppOutput = std::move(pOut);
    return S_OK;
}

HRESULT COutput::OpenVideo(const CVideoParams& video) {
    const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
    AVCodecContext* pEnc = pCodec != nullptr ? avcodec_alloc_context3(pCodec) : nullptr;
    m_video.pEnc = pEnc;
    m_video.pPacket = av_packet_alloc();
    if (pEnc == nullptr || m_video.pPacket == nullptr) {
        return DV_E_ENCODER;
    }
    pEnc->width = video.nWidth;
    pEnc->height = video.nHeight;
    pEnc->pix_fmt = AV_PIX_FMT_YUV420P;
    pEnc->time_base = AVRational{video.nFpsDen, video.nFpsNum};
    pEnc->framerate = AVRational{video.nFpsNum, video.nFpsDen};
    // The session's pacer holds the bit rate over time and gives each
    // picture its quantiser (frame quality) and its type: the encoder's own
    // rate control counts frames, not time, and key frames come by elapsed
    // time, so its count-based ones are put out of reach (beyond 600 frames
    // FFmpeg asks for experimental compliance, which changes nothing else
    // in WMV2). The bit rate stays for the file's header.
    pEnc->bit_rate = video.nBitrate;
    pEnc->flags |= AV_CODEC_FLAG_QSCALE;
    pEnc->global_quality = video.nQMax * FF_QP2LAMBDA;
    pEnc->gop_size = INT_MAX;
    pEnc->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    pEnc->max_b_frames = 0;
    pEnc->qmin = video.nQMin;
    pEnc->qmax = video.nQMax;
    pEnc->thread_count = 1;
    if ((m_pMux->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        pEnc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    // Our pictures extend to whole macroblocks (PictureRing.h): laid out as
    // the encoder's own, they are encoded without a copy. (An FFmpeg without
    // the option copies them.)
    av_opt_set_int(pEnc->priv_data, "padded_input", 1, 0);
    int nErr = avcodec_open2(pEnc, pCodec, nullptr);
    if (nErr < 0) {
        return DV_E_ENCODER;
    }
    m_inputLayout = CPictureLayout::Of(pEnc);
    m_video.pStream = avformat_new_stream(m_pMux, nullptr);
    if (m_video.pStream == nullptr ||
        avcodec_parameters_from_context(m_video.pStream->codecpar, pEnc) < 0) {
        return E_OUTOFMEMORY;
    }
    m_video.pStream->time_base = pEnc->time_base;
    m_video.pStream->avg_frame_rate = pEnc->framerate;
    m_video.pStream->r_frame_rate = pEnc->framerate;
    return S_OK;
}

HRESULT COutput::OpenAudio() {
    const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
    AVCodecContext* pEnc = pCodec != nullptr ? avcodec_alloc_context3(pCodec) : nullptr;
    m_audio.pEnc = pEnc;
    m_audio.pPacket = av_packet_alloc();
    m_pAudioFrame = av_frame_alloc();
    m_pSilentPacket = av_packet_alloc();
    if (pEnc == nullptr || m_audio.pPacket == nullptr || m_pAudioFrame == nullptr ||
        m_pSilentPacket == nullptr) {
        return DV_E_ENCODER;
    }
    pEnc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    pEnc->sample_rate = kAudioSampleRate;
    av_channel_layout_default(&pEnc->ch_layout, kAudioChannels);
    pEnc->bit_rate = kAudioBitrate;
    pEnc->time_base = AVRational{1, kAudioSampleRate};
    if ((m_pMux->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        pEnc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    const int nErr = avcodec_open2(pEnc, pCodec, nullptr);
    if (nErr < 0) {
        return DV_E_ENCODER;
    }
    m_audio.pStream = avformat_new_stream(m_pMux, nullptr);
    if (m_audio.pStream == nullptr ||
        avcodec_parameters_from_context(m_audio.pStream->codecpar, pEnc) < 0) {
        return E_OUTOFMEMORY;
    }
    m_audio.pStream->time_base = pEnc->time_base;
    m_pAudioFrame->nb_samples = pEnc->frame_size > 0 ? pEnc->frame_size : 2048;
    m_pAudioFrame->format = AV_SAMPLE_FMT_FLTP;
    m_pAudioFrame->sample_rate = kAudioSampleRate;
    if (av_channel_layout_copy(&m_pAudioFrame->ch_layout, &pEnc->ch_layout) < 0 ||
        av_frame_get_buffer(m_pAudioFrame, 0) < 0) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT COutput::OpenFile(const std::string& strPath) {
    HRESULT hr = m_file.Open(strPath);
    if (FAILED(hr)) {
        return hr;
    }
    auto* pBuffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    AVIOContext* pIo = pBuffer != nullptr ? avio_alloc_context(pBuffer, kIoBufferSize, 1, &m_file,
                                                               nullptr, WriteFile, SeekFile)
                                          : nullptr;
    if (pIo == nullptr) {
        av_free(pBuffer);
        return E_OUTOFMEMORY;
    }
    m_pMux->pb = pIo;
    m_pMux->flags |= AVFMT_FLAG_CUSTOM_IO;
    const int nErr = avformat_write_header(m_pMux, nullptr);
    if (nErr < 0) {
        return DV_E_FILE_OPEN;
    }
    m_bHeader = true;
    avio_flush(pIo);
    if (pIo->error < 0) {
        return DV_E_FILE_OPEN;
    }
    // The header's fields are kept up to date only where they are where
    // this muxer puts them.
    const int64_t nData = avio_tell(pIo) - kDataObjectSize;
    uint8_t rgGuid[16] = {};
    uint8_t rgDataGuid[16] = {};
    if (m_pMux->packet_size > 0 && nData > kFileProperties + kPrerollField + 8 &&
        m_file.ReadAt(kFileProperties, rgGuid, sizeof(rgGuid)) == 0 &&
        m_file.ReadAt(nData, rgDataGuid, sizeof(rgDataGuid)) == 0 &&
        std::memcmp(rgGuid, kFilePropertiesGuid, sizeof(rgGuid)) == 0 &&
        std::memcmp(rgDataGuid, kDataGuid, sizeof(rgDataGuid)) == 0) {
        m_nDataObject = nData;
        m_nPacketSize = m_pMux->packet_size;
    }
    return S_OK;
}

HRESULT COutput::Commit() {
    const HRESULT hr = m_file.Commit();
    if (SUCCEEDED(hr) && !m_thSync.joinable()) {
        try {
            m_thSync = std::thread(&COutput::SyncThread, this);
        } catch (const std::exception&) {
            // Without a thread the file is not synced; the recording goes on.
        }
    }
    return hr;
}

// On a steady beat, however long one sync takes (a busy disk), unless it
// takes longer than the beat.
void COutput::SyncThread() {
    using SteadyClock = std::chrono::steady_clock;
    SteadyClock::time_point tNext = SteadyClock::now() + kHeaderInterval;
    int nBeat = 0;
    std::unique_lock<std::mutex> lock(m_mutexSync);
    while (!m_cvSync.wait_until(lock, tNext, [this] { return m_bSyncStop; })) {
        lock.unlock();
        nBeat = (nBeat + 1) % kHeadersPerSync;
        SyncOnce(nBeat == 0);
        lock.lock();
        tNext += kHeaderInterval;
        const SteadyClock::time_point tNow = SteadyClock::now();
        if (tNext <= tNow) {
            tNext = tNow + kHeaderInterval;
        }
    }
}

void COutput::StopSync() {
    {
        std::lock_guard<std::mutex> lock(m_mutexSync);
        m_bSyncStop = true;
    }
    m_cvSync.notify_all();
    if (m_thSync.joinable()) {
        m_thSync.join();
    }
}

void COutput::SyncOnce(bool bSync) {
    int64_t nEnd = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (FAILED(m_hrFailed) || m_pMux->pb == nullptr) {
            return;
        }
        avio_flush(m_pMux->pb);
        if (m_pMux->pb->error < 0) {
            Fail(DV_E_WRITE);
            return;
        }
        nEnd = avio_tell(m_pMux->pb);
    }
    // The header counts what is in the file, as a killed process leaves it;
    // what a power loss takes is at most what came since the last sync, and
    // a header that counts more than there is plays as a file cut short.
    // The encoders go on meanwhile.
    if (bSync && !m_file.Sync()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Fail(DV_E_WRITE);
        return;
    }
    CountInHeader(nEnd);
}

// The file properties object's packet count and durations and the data
// object's packet count, for the whole packets before nEnd; the trailer
// writes the final ones, and the file's size.
void COutput::CountInHeader(int64_t nEnd) {
    if (m_nDataObject < 0) {
        return;
    }
    const int64_t nPackets = (nEnd - m_nDataObject - kDataObjectSize) / m_nPacketSize;
    if (nPackets <= m_nCounted) {
        return;
    }
    uint8_t rgHead[32] = {};
    uint8_t rgPreroll[8] = {};
    const int64_t nLast = m_nDataObject + kDataObjectSize + (nPackets - 1) * m_nPacketSize;
    const size_t cbHead = static_cast<size_t>(std::min<int64_t>(sizeof(rgHead), m_nPacketSize));
    int64_t nEndMs = 0;
    if (m_file.ReadAt(nLast, rgHead, cbHead) != 0 ||
        m_file.ReadAt(kFileProperties + kPrerollField, rgPreroll, sizeof(rgPreroll)) != 0 ||
        !PacketEndMs(rgHead, cbHead, &nEndMs)) {
        return;
    }
    const int64_t nPrerollMs = static_cast<int64_t>(GetLe(rgPreroll, 8));
    uint8_t rgCounts[24];
    uint8_t rgDataCount[8];
    PutLe64(rgCounts, static_cast<uint64_t>(nPackets));
    PutLe64(rgCounts + 8, static_cast<uint64_t>((nEndMs + nPrerollMs) * 10000));
    PutLe64(rgCounts + 16, static_cast<uint64_t>(nEndMs * 10000));
    PutLe64(rgDataCount, static_cast<uint64_t>(nPackets));
    if (m_file.WriteAt(kFileProperties + kFilePacketsField, rgCounts, sizeof(rgCounts)) != 0 ||
        m_file.WriteAt(m_nDataObject + kDataPacketsField, rgDataCount, sizeof(rgDataCount)) != 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Fail(DV_E_WRITE);
        return;
    }
    m_nCounted = nPackets;
}

void COutput::CloseIo() {
    if (m_pMux != nullptr && m_pMux->pb != nullptr) {
        av_freep(&m_pMux->pb->buffer);
        avio_context_free(&m_pMux->pb);
    }
}

COutput::~COutput() {
    StopSync();
    CloseIo();
    avformat_free_context(m_pMux);
    av_frame_free(&m_pAudioFrame);
    av_packet_free(&m_pSilentPacket);
    m_file.Close();
}

HRESULT COutput::Fail(HRESULT hr) {
    if (SUCCEEDED(m_hrFailed)) {
        m_hrFailed = hr;
    }
    return hr;
}

// Sends one frame (null: drain) and writes every packet the encoder has
// ready. pKeep, if given, gets a reference to the last of them as the encoder
// made it.
HRESULT COutput::Encode(COutputStream* pStream, AVFrame* pFrame, int64_t* pnBytes,
                        AVPacket* pKeep) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (FAILED(m_hrFailed)) {
            return m_hrFailed;
        }
    }
    int nErr = avcodec_send_frame(pStream->pEnc, pFrame);
    if (nErr < 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return Fail(DV_E_ENCODER);
    }
    for (;;) {
        nErr = avcodec_receive_packet(pStream->pEnc, pStream->pPacket);
        if (nErr == AVERROR(EAGAIN) || nErr == AVERROR_EOF) {
            return S_OK;
        }
        if (nErr < 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            return Fail(DV_E_ENCODER);
        }
        if (pKeep != nullptr) {
            av_packet_unref(pKeep);
            if (av_packet_ref(pKeep, pStream->pPacket) < 0) {
                av_packet_unref(pStream->pPacket);
                std::lock_guard<std::mutex> lock(m_mutex);
                return Fail(E_OUTOFMEMORY);
            }
        }
        const HRESULT hr = WritePacket(pStream, pnBytes);
        if (FAILED(hr)) {
            return hr;
        }
    }
}

// Writes the stream's packet (in its encoder's time base) to the file.
HRESULT COutput::WritePacket(COutputStream* pStream, int64_t* pnBytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (FAILED(m_hrFailed)) {
        av_packet_unref(pStream->pPacket);
        return m_hrFailed;
    }
    if (pnBytes != nullptr) {
        *pnBytes += pStream->pPacket->size;
    }
    pStream->pPacket->stream_index = pStream->pStream->index;
    av_packet_rescale_ts(pStream->pPacket, pStream->pEnc->time_base, pStream->pStream->time_base);
    int nErr = av_interleaved_write_frame(m_pMux, pStream->pPacket);
    const int64_t nNow = av_gettime_relative();
    if (nErr >= 0 && nNow - m_nLastFlushUs >= kFlushIntervalUs) {
        m_nLastFlushUs = nNow;
        avio_flush(m_pMux->pb);
    }
    if (nErr >= 0 && m_pMux->pb->error < 0) {
        nErr = m_pMux->pb->error;
    }
    return nErr < 0 ? Fail(DV_E_WRITE) : S_OK;
}

HRESULT COutput::EncodeVideo(AVFrame* pFrame, int64_t* pnBytes) {
    return Encode(&m_video, pFrame, pnBytes);
}

HRESULT COutput::WriteAudio(const int16_t* pSamples, int64_t nFrames) {
    const int nFrameSize = m_pAudioFrame->nb_samples;
    while (nFrames > 0) {
        if (m_nAudioFill == 0 && av_frame_make_writable(m_pAudioFrame) < 0) {
            return E_OUTOFMEMORY;
        }
        const int n = static_cast<int>(std::min<int64_t>(nFrames, nFrameSize - m_nAudioFill));
        auto* pLeft = reinterpret_cast<float*>(m_pAudioFrame->data[0]) + m_nAudioFill;
        auto* pRight = reinterpret_cast<float*>(m_pAudioFrame->data[1]) + m_nAudioFill;
        if (pSamples != nullptr) {
            int nAny = 0;
            for (int i = 0; i < n; ++i) {
                nAny |= pSamples[2 * i] | pSamples[2 * i + 1];
                pLeft[i] = pSamples[2 * i] / 32768.0f;
                pRight[i] = pSamples[2 * i + 1] / 32768.0f;
            }
            m_bFillSilent = m_bFillSilent && nAny == 0;
            pSamples += 2 * n;
        } else {
            std::fill(pLeft, pLeft + n, 0.0f);
            std::fill(pRight, pRight + n, 0.0f);
        }
        nFrames -= n;
        m_nAudioFill += n;
        if (m_nAudioFill == nFrameSize) {
            const HRESULT hr = EncodeAudioFrame();
            if (FAILED(hr)) {
                return hr;
            }
        }
    }
    return S_OK;
}

HRESULT COutput::WriteSilence(int64_t nFrames) {
    return WriteAudio(nullptr, nFrames);
}

// A silent frame after a silent frame leaves the encoder nothing to code but
// silence (its window overlaps the frame before only), and it codes to the
// same packet each time: that packet is kept and written again at the new
// time instead of running the encoder, so a muted microphone or an output
// with nothing playing costs no coding. The encoder, not run, keeps the
// silent window it would have had.
HRESULT COutput::EncodeAudioFrame() {
    const int64_t nPts = m_nAudioPts;
    const bool bSilent = m_bFillSilent;
    const bool bAfterSilence = m_bLastSilent;
    m_pAudioFrame->pts = nPts;
    m_nAudioPts += m_pAudioFrame->nb_samples;
    m_nAudioFill = 0;
    m_bFillSilent = true;
    m_bLastSilent = bSilent;
    if (!bSilent || !bAfterSilence) {
        return Encode(&m_audio, m_pAudioFrame);
    }
    if (m_nSilentPts == INT64_MIN) {
        const HRESULT hr = Encode(&m_audio, m_pAudioFrame, nullptr, m_pSilentPacket);
        if (SUCCEEDED(hr) && m_pSilentPacket->data != nullptr) {
            m_nSilentPts = nPts;
        }
        return hr;
    }
    AVPacket* pPacket = m_audio.pPacket;
    if (av_packet_ref(pPacket, m_pSilentPacket) < 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return Fail(E_OUTOFMEMORY);
    }
    pPacket->pts += nPts - m_nSilentPts;
    pPacket->dts += nPts - m_nSilentPts;
    return WritePacket(&m_audio, nullptr);
}

HRESULT COutput::FinishAudio() {
    HRESULT hr = S_OK;
    if (m_nAudioFill > 0) {
        hr = WriteSilence(m_pAudioFrame->nb_samples - m_nAudioFill);
    }
    return SUCCEEDED(hr) ? Encode(&m_audio, nullptr) : hr;
}

HRESULT COutput::Finish(int64_t nDropped, int64_t nAudioGapMs) {
    if (m_bFinished) {
        return m_hrFailed;
    }
    m_bFinished = true;
    StopSync();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bHeader && SUCCEEDED(m_hrFailed)) {
        if (m_video.pEnc != nullptr) {
            av_dict_set(&m_pMux->metadata, kDroppedTag, DroppedText(nDropped).c_str(), 0);
        }
        if (m_audio.pEnc != nullptr) {
            av_dict_set(&m_pMux->metadata, kAudioGapTag, DroppedText(nAudioGapMs).c_str(), 0);
        }
        const int nErr = av_write_trailer(m_pMux);
        if (nErr < 0) {
            Fail(DV_E_WRITE);
        }
    }
    if (m_pMux->pb != nullptr) {
        avio_flush(m_pMux->pb);
        if (m_pMux->pb->error < 0) {
            Fail(DV_E_WRITE);
        }
    }
    CloseIo();
    m_file.Close();
    return m_hrFailed;
}

}  // namespace dvengine
