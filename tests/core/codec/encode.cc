// Encodes the codec tests' picture sequence with WMV2 into an ASF file and
// prints one line per packet: step, size and MD5 of its bytes.
//
//   deskvid_codec_encode FILE [--map] [--direct] [--bitrate=BITS]
//
// Built twice from this file: against our FFmpeg, where --map hands each
// step's macroblock map to the encoder, and against the system's FFmpeg,
// which has no maps: without --map both must write the same packets.
// --direct (ours) feeds the encoder as the engine does, from a picture ring
// in the encoder's own layout that it takes without a copy, so that its
// reconstruction skips what it already holds: the packets must not change.
// Without --bitrate the quantiser is fixed and fine, so that a decoded
// picture can be held to its source.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/md5.h>
}

#include "tests/core/codec/Scenario.h"
#ifdef DESKVID_OWN_FFMPEG
extern "C" {
#include <libavutil/opt.h>
}

#include "engine/core/PictureRing.h"
#include "engine/core/SkipMap.h"
#endif

namespace {

using codectest::CPicture;
using codectest::CStep;
using codectest::EMap;
using codectest::kHeight;
using codectest::kWidth;

int Fail(const char* pszWhat, int nErr = 0) {
    char sz[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(nErr, sz, sizeof(sz));
    std::fprintf(stderr, "encode: %s%s%s\n", pszWhat, nErr != 0 ? ": " : "", nErr != 0 ? sz : "");
    return 1;
}

int WritePacket(void* pOpaque, uint8_t* pData, int cb) {
    return std::fwrite(pData, 1, size_t(cb), static_cast<FILE*>(pOpaque)) == size_t(cb)
               ? cb
               : AVERROR(EIO);
}

int64_t Seek(void* pOpaque, int64_t nOffset, int nWhence) {
    FILE* pFile = static_cast<FILE*>(pOpaque);
    if (nWhence == AVSEEK_SIZE) {
        return -1;
    }
    return fseeko(pFile, nOffset, nWhence & ~AVSEEK_FORCE) == 0 ? ftello(pFile) : AVERROR(EIO);
}

bool SetMap(AVFrame* pFrame, const CStep& step) {
#ifdef DESKVID_OWN_FFMPEG
    switch (step.map) {
        case EMap::kNone:
            dvengine::DetachSkipMap(pFrame);
            return true;
        case EMap::kChanged:
            return dvengine::AttachSkipMap(pFrame, step.vChanged);
        case EMap::kAllSkip:
            return dvengine::AttachSkipMap(pFrame, {});
        case EMap::kBadSize: {
            dvengine::DetachSkipMap(pFrame);
            const size_t cb = size_t((kWidth + 15) / 16) * ((kHeight + 15) / 16) - 1;
            AVFrameSideData* pData = av_frame_new_side_data(pFrame, AV_FRAME_DATA_MB_SKIP_MAP, cb);
            if (pData != nullptr) {
                std::memset(pData->data, 1, cb);
            }
            return pData != nullptr;
        }
    }
    return false;
#else
    (void)pFrame;
    (void)step;
    return false;
#endif
}

#ifdef DESKVID_OWN_FFMPEG
// The step's changed rectangles, from the source picture into the ring.
void CopyChanged(const CPicture& picture, const CStep& step, dvengine::CPictureRing* pRing,
                 AVFrame* pTo) {
    for (dvengine::CRect rc : step.vChanged) {
        rc.w = std::min(rc.x + rc.w, kWidth) - rc.x;
        rc.h = std::min(rc.y + rc.h, kHeight) - rc.y;
        for (int p = 0; p < 3; ++p) {
            const int s = p == 0 ? 0 : 1;
            const int x0 = rc.x >> s, x1 = (rc.x + rc.w + s) >> s;
            for (int y = rc.y >> s; y < (rc.y + rc.h + s) >> s; ++y) {
                std::memcpy(pTo->data[p] + y * pTo->linesize[p] + x0,
                            picture.vPlane[p].data() + size_t(y) * CPicture::Width(p) + x0,
                            size_t(x1 - x0));
            }
        }
        pRing->Written(rc);
    }
}
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [--map] [--bitrate=BITS]\n", argv[0]);
        return 2;
    }
    bool bMap = false;
    bool bDirect = false;
    int64_t nBitrate = 0;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--map") == 0) {
            bMap = true;
        } else if (std::strcmp(argv[i], "--direct") == 0) {
            bDirect = true;
        } else if (std::strncmp(argv[i], "--bitrate=", 10) == 0) {
            nBitrate = std::atoll(argv[i] + 10);
        } else {
            return Fail("unknown option");
        }
    }
#ifndef DESKVID_OWN_FFMPEG
    if (bMap || bDirect) {
        return Fail("the system's FFmpeg takes no macroblock map and copies its input");
    }
#endif

    FILE* pFile = std::fopen(argv[1], "wb");
    if (pFile == nullptr) {
        return Fail("cannot create the file");
    }
    AVFormatContext* pMux = nullptr;
    int nErr = avformat_alloc_output_context2(&pMux, nullptr, "asf", nullptr);
    if (nErr < 0) {
        return Fail("no ASF muxer", nErr);
    }
    const int cbIo = 65536;
    uint8_t* pIoBuffer = static_cast<uint8_t*>(av_malloc(cbIo));
    pMux->pb = avio_alloc_context(pIoBuffer, cbIo, 1, pFile, nullptr, WritePacket, Seek);
    const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
    AVCodecContext* pEnc = pCodec != nullptr ? avcodec_alloc_context3(pCodec) : nullptr;
    AVStream* pStream = avformat_new_stream(pMux, nullptr);
    AVFrame* pFrame = av_frame_alloc();
    AVPacket* pPacket = av_packet_alloc();
    if (pMux->pb == nullptr || pEnc == nullptr || pStream == nullptr || pFrame == nullptr ||
        pPacket == nullptr) {
        return Fail("out of memory or no WMV2 encoder");
    }
    pEnc->width = kWidth;
    pEnc->height = kHeight;
    pEnc->pix_fmt = AV_PIX_FMT_YUV420P;
    pEnc->time_base = AVRational{1, 10};
    pEnc->gop_size = 1000;  // key frames only where a step asks
    pEnc->max_b_frames = 0;
    pEnc->thread_count = 1;
    pEnc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (nBitrate > 0) {
        pEnc->bit_rate = nBitrate;
    } else {
        pEnc->flags |= AV_CODEC_FLAG_QSCALE;
        pEnc->global_quality = 2 * FF_QP2LAMBDA;
    }
#ifdef DESKVID_OWN_FFMPEG
    if (bDirect && av_opt_set_int(pEnc->priv_data, "padded_input", 1, 0) < 0) {
        return Fail("no padded input option");
    }
#endif
    if ((nErr = avcodec_open2(pEnc, pCodec, nullptr)) < 0 ||
        (nErr = avcodec_parameters_from_context(pStream->codecpar, pEnc)) < 0) {
        return Fail("cannot open the encoder", nErr);
    }
    pStream->time_base = pEnc->time_base;
    if ((nErr = avformat_write_header(pMux, nullptr)) < 0) {
        return Fail("cannot write the header", nErr);
    }

    pFrame->format = AV_PIX_FMT_YUV420P;
    pFrame->width = kWidth;
    pFrame->height = kHeight;
    if ((nErr = av_frame_get_buffer(pFrame, 0)) < 0) {
        return Fail("no picture", nErr);
    }
#ifdef DESKVID_OWN_FFMPEG
    dvengine::CPictureRing ring;
    if (bDirect && FAILED(ring.Open(dvengine::CPictureLayout::Of(pEnc)))) {
        return Fail("no picture ring");
    }
#endif
    const std::vector<CStep> vSteps = codectest::Steps();
    CPicture picture;
    for (size_t n = 0; n <= vSteps.size(); ++n) {
        if (n < vSteps.size()) {
            const CStep& step = vSteps[n];
            codectest::Paint(&picture, step, int(n));
#ifdef DESKVID_OWN_FFMPEG
            if (bDirect) {
                AVFrame* pWritable = ring.Writable();
                if (pWritable == nullptr) {
                    return Fail("no writable picture");
                }
                CopyChanged(picture, step, &ring, pWritable);
                av_frame_free(&pFrame);
                if ((pFrame = ring.Hand(int64_t(n))) == nullptr) {
                    return Fail("no picture handed out");
                }
            }
#endif
            if (!bDirect && (nErr = av_frame_make_writable(pFrame)) < 0) {
                return Fail("no picture", nErr);
            }
            for (int p = 0; p < 3 && !bDirect; ++p) {
                for (int y = 0; y < CPicture::Height(p); ++y) {
                    std::memcpy(pFrame->data[p] + y * pFrame->linesize[p],
                                picture.vPlane[p].data() + size_t(y) * CPicture::Width(p),
                                size_t(CPicture::Width(p)));
                }
            }
            pFrame->pts = int64_t(n);
            pFrame->pict_type = step.bKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
            pFrame->quality = pEnc->global_quality;
            if (bMap && !SetMap(pFrame, step)) {
                return Fail("cannot attach the map");
            }
        }
        nErr = avcodec_send_frame(pEnc, n < vSteps.size() ? pFrame : nullptr);
        if (nErr < 0) {
            return Fail("cannot encode", nErr);
        }
        while ((nErr = avcodec_receive_packet(pEnc, pPacket)) >= 0) {
            uint8_t rgbMd5[16];
            av_md5_sum(rgbMd5, pPacket->data, pPacket->size);
            std::printf("%lld %d ", static_cast<long long>(pPacket->pts), pPacket->size);
            for (uint8_t b : rgbMd5) {
                std::printf("%02x", b);
            }
            std::printf("\n");
            av_packet_rescale_ts(pPacket, pEnc->time_base, pStream->time_base);
            pPacket->stream_index = pStream->index;
            if ((nErr = av_interleaved_write_frame(pMux, pPacket)) < 0) {
                return Fail("cannot write a packet", nErr);
            }
        }
        if (nErr != AVERROR(EAGAIN) && nErr != AVERROR_EOF) {
            return Fail("cannot encode", nErr);
        }
    }
    if ((nErr = av_write_trailer(pMux)) < 0) {
        return Fail("cannot write the trailer", nErr);
    }
    av_packet_free(&pPacket);
    av_frame_free(&pFrame);
    avcodec_free_context(&pEnc);
    av_freep(&pMux->pb->buffer);
    avio_context_free(&pMux->pb);
    avformat_free_context(pMux);
    return std::fclose(pFile) == 0 ? 0 : Fail("cannot close the file");
}
