// Our FFmpeg and libyuv as cross-built for the Windows DLL, under Wine: the
// conversion's SIMD paths are built in and agree with libyuv's plain C; the
// WMV2 and WMA2 encoders and the ASF muxer are there, and the encoder takes
// the map of unchanged macroblocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <libyuv/convert.h>
#include <libyuv/cpu_id.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

// libyuv's row functions, declared here: its header leaves them out unless
// this file too is compiled for SSE. A build without its x86 paths does not
// link.
namespace libyuv {
extern "C" void ARGBToYRow_SSSE3(const uint8_t* pArgb, uint8_t* pY, int nWidth);
extern "C" void ARGBToYRow_C(const uint8_t* pArgb, uint8_t* pY, int nWidth);
}  // namespace libyuv

namespace {

struct CI420 {
    CI420(int nWidth, int nHeight)
        : y(size_t(nWidth) * nHeight), u(y.size() / 4), v(y.size() / 4) {}
    std::vector<uint8_t> y, u, v;
};

CI420 ToI420(const std::vector<uint8_t>& vArgb, int nWidth, int nHeight) {
    CI420 out(nWidth, nHeight);
    EXPECT_EQ(0, libyuv::ARGBToI420(vArgb.data(), nWidth * 4, out.y.data(), nWidth, out.u.data(),
                                    nWidth / 2, out.v.data(), nWidth / 2, nWidth, nHeight));
    return out;
}

TEST(WindowsCodec, ConversionUsesSimdAndAgreesWithPlainC) {
    const int nWidth = 1280, nHeight = 720;
    std::vector<uint8_t> vArgb(size_t(nWidth) * nHeight * 4);
    std::mt19937 random(7);
    for (uint8_t& b : vArgb) {
        b = uint8_t(random());
    }
    ASSERT_NE(0, libyuv::TestCpuFlag(libyuv::kCpuHasSSSE3));

    std::vector<uint8_t> vRowSimd(nWidth), vRowC(nWidth);
    libyuv::ARGBToYRow_SSSE3(vArgb.data(), vRowSimd.data(), nWidth);
    libyuv::ARGBToYRow_C(vArgb.data(), vRowC.data(), nWidth);
    EXPECT_EQ(vRowC, vRowSimd);

    const CI420 simd = ToI420(vArgb, nWidth, nHeight);
    libyuv::MaskCpuFlags(libyuv::kCpuInitialized);  // plain C only
    const CI420 plain = ToI420(vArgb, nWidth, nHeight);
    libyuv::MaskCpuFlags(-1);
    EXPECT_TRUE(plain.y == simd.y && plain.u == simd.u && plain.v == simd.v);
}

// Encodes one picture, returns its packet's size (0 when none came out).
int EncodeOne(AVCodecContext* pEnc, AVFrame* pFrame, AVPacket* pPacket) {
    ++pFrame->pts;
    if (avcodec_send_frame(pEnc, pFrame) < 0 || avcodec_receive_packet(pEnc, pPacket) < 0) {
        return 0;
    }
    const int cb = pPacket->size;
    av_packet_unref(pPacket);
    return cb;
}

TEST(WindowsCodec, EncodersAndMuxerSkipUnchangedMacroblocks) {
    const AVCodec* pVideo = avcodec_find_encoder(AV_CODEC_ID_WMV2);
    const AVCodec* pAudio = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
    ASSERT_TRUE(pVideo != nullptr && pAudio != nullptr);
    AVFormatContext* pMux = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&pMux, nullptr, "asf", nullptr), 0);
    ASSERT_GE(avio_open_dyn_buf(&pMux->pb), 0);

    AVCodecContext* pEnc = avcodec_alloc_context3(pVideo);
    pEnc->width = 320;
    pEnc->height = 240;
    pEnc->pix_fmt = AV_PIX_FMT_YUV420P;
    pEnc->time_base = AVRational{1, 10};
    pEnc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVCodecContext* pSound = avcodec_alloc_context3(pAudio);
    pSound->sample_rate = 48000;
    pSound->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&pSound->ch_layout, 2);
    pSound->bit_rate = 64000;
    pSound->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ASSERT_GE(avcodec_open2(pEnc, pVideo, nullptr), 0);
    ASSERT_GE(avcodec_open2(pSound, pAudio, nullptr), 0);
    for (AVCodecContext* pContext : {pEnc, pSound}) {
        AVStream* pStream = avformat_new_stream(pMux, nullptr);
        ASSERT_GE(avcodec_parameters_from_context(pStream->codecpar, pContext), 0);
        pStream->time_base = pContext->time_base;
    }
    ASSERT_GE(avformat_write_header(pMux, nullptr), 0);

    // A noisy picture, then the same again with and without the map that
    // marks every macroblock unchanged.
    AVFrame* pFrame = av_frame_alloc();
    AVPacket* pPacket = av_packet_alloc();
    pFrame->format = pEnc->pix_fmt;
    pFrame->width = pEnc->width;
    pFrame->height = pEnc->height;
    ASSERT_GE(av_frame_get_buffer(pFrame, 0), 0);
    std::mt19937 random(3);
    for (int p = 0; p < 3; ++p) {
        for (int y = 0; y < pEnc->height >> (p > 0); ++y) {
            for (int x = 0; x < pEnc->width >> (p > 0); ++x) {
                pFrame->data[p][y * pFrame->linesize[p] + x] = uint8_t(random());
            }
        }
    }
    EXPECT_GT(EncodeOne(pEnc, pFrame, pPacket), 10000);
    const int cbUnmapped = EncodeOne(pEnc, pFrame, pPacket);
    const size_t cbMap = size_t(pEnc->width / 16) * (pEnc->height / 16);
    AVFrameSideData* pMap = av_frame_new_side_data(pFrame, AV_FRAME_DATA_MB_SKIP_MAP, cbMap);
    ASSERT_NE(nullptr, pMap);
    std::memset(pMap->data, 1, cbMap);
    const int cbMapped = EncodeOne(pEnc, pFrame, pPacket);
    EXPECT_TRUE(cbMapped > 0 && cbMapped < 32 && cbMapped < cbUnmapped)
        << cbMapped << " bytes with the map, " << cbUnmapped << " without";

    AVFrame* pSamples = av_frame_alloc();
    pSamples->format = pSound->sample_fmt;
    pSamples->nb_samples = pSound->frame_size;
    pSamples->sample_rate = pSound->sample_rate;
    ASSERT_GE(av_channel_layout_copy(&pSamples->ch_layout, &pSound->ch_layout), 0);
    pSamples->pts = 0;
    ASSERT_GE(av_frame_get_buffer(pSamples, 0), 0);
    ASSERT_GE(av_samples_set_silence(pSamples->data, 0, pSamples->nb_samples, 2,
                                     AVSampleFormat(pSamples->format)),
              0);
    ASSERT_GE(avcodec_send_frame(pSound, pSamples), 0);
    ASSERT_GE(avcodec_send_frame(pSound, nullptr), 0);
    ASSERT_GE(avcodec_receive_packet(pSound, pPacket), 0);
    av_packet_rescale_ts(pPacket, pSound->time_base, pMux->streams[1]->time_base);
    pPacket->stream_index = 1;
    EXPECT_GE(av_write_frame(pMux, pPacket), 0);
    EXPECT_GE(av_write_trailer(pMux), 0);

    // The ASF header object's GUID opens the file.
    const uint8_t rgbAsfHeader[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                    0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    uint8_t* pFile = nullptr;
    const int cbFile = avio_close_dyn_buf(pMux->pb, &pFile);
    pMux->pb = nullptr;
    EXPECT_TRUE(cbFile > int(sizeof(rgbAsfHeader)) &&
                std::memcmp(pFile, rgbAsfHeader, sizeof(rgbAsfHeader)) == 0);
    av_free(pFile);
    av_frame_free(&pSamples);
    av_frame_free(&pFrame);
    av_packet_free(&pPacket);
    avcodec_free_context(&pSound);
    avcodec_free_context(&pEnc);
    avformat_free_context(pMux);
}

}  // namespace
