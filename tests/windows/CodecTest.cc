// Our FFmpeg and libyuv as cross-built for the Windows DLL, under Wine: the
// conversion's SIMD paths are built in and agree with libyuv's plain C; the
// encoders and the ASF muxer are there; WMV2 takes the unchanged-macroblock map.
#include <gtest/gtest.h>

#include <algorithm>
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

// A libyuv built without its x86 paths (its headers drop them on 32-bit x86
// unless compiled for SSE) has no such row function: this does not link.
namespace libyuv {
extern "C" void ARGBToYRow_SSSE3(const uint8_t* pArgb, uint8_t* pY, int nWidth);
}

namespace {

TEST(WindowsCodec, ConversionUsesSimdAndAgreesWithPlainC) {
    const int nWidth = 1280, nHeight = 720, nPixels = nWidth * nHeight;
    std::vector<uint8_t> vArgb(size_t(nPixels) * 4);
    std::mt19937 random(7);
    for (uint8_t& b : vArgb) {
        b = uint8_t(random());
    }
    ASSERT_NE(0, libyuv::TestCpuFlag(libyuv::kCpuHasSSSE3));
    std::vector<uint8_t> vSimd(size_t(nPixels) * 3 / 2), vPlain(vSimd.size());
    for (std::vector<uint8_t>* pI420 : {&vSimd, &vPlain}) {
        uint8_t* pY = pI420->data();
        EXPECT_EQ(0,
                  libyuv::ARGBToI420(vArgb.data(), nWidth * 4, pY, nWidth, pY + nPixels, nWidth / 2,
                                     pY + nPixels * 5 / 4, nWidth / 2, nWidth, nHeight));
        libyuv::MaskCpuFlags(libyuv::kCpuInitialized);  // the next one in plain C
    }
    libyuv::MaskCpuFlags(-1);
    EXPECT_TRUE(vPlain == vSimd);
    std::vector<uint8_t> vRow(nWidth);
    libyuv::ARGBToYRow_SSSE3(vArgb.data(), vRow.data(), nWidth);
    EXPECT_TRUE(std::equal(vRow.begin(), vRow.end(), vPlain.begin()));
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

TEST(WindowsCodec, EncodersAndMuxerAreThereAndWmv2SkipsUnchangedMacroblocks) {
    ASSERT_NE(nullptr, av_guess_format("asf", nullptr, nullptr));
    ASSERT_NE(nullptr, avcodec_find_encoder(AV_CODEC_ID_WMAV2));
    const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
    ASSERT_NE(nullptr, pCodec);
    AVCodecContext* pEnc = avcodec_alloc_context3(pCodec);
    AVFrame* pFrame = av_frame_alloc();
    AVPacket* pPacket = av_packet_alloc();
    pEnc->width = pFrame->width = 320;
    pEnc->height = pFrame->height = 240;
    pEnc->pix_fmt = AV_PIX_FMT_YUV420P;
    pFrame->format = pEnc->pix_fmt;
    pEnc->time_base = AVRational{1, 10};
    ASSERT_GE(avcodec_open2(pEnc, pCodec, nullptr), 0);
    ASSERT_GE(av_frame_get_buffer(pFrame, 0), 0);

    // A noisy picture, then the same again without and with the map that
    // marks every macroblock unchanged.
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
    av_frame_free(&pFrame);
    av_packet_free(&pPacket);
    avcodec_free_context(&pEnc);
}

}  // namespace
