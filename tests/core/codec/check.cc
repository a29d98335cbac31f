// Decodes a file written by `deskvid_codec_encode FILE --map` with the
// system's FFmpeg and holds every picture to its step: one decoded picture
// per packet (none dropped), the picture header's skip-map coding as the
// step expects, each macroblock close to its source (a macroblock skipped
// although it changed keeps the old pattern and fails), and a step in which
// nothing changed tiny and decoded to exactly the picture before it.
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "tests/core/codec/Scenario.h"

namespace {

using codectest::CPicture;
using codectest::CStep;

// At the fine quantiser of the test, a coded macroblock is off its source by
// about one level on average; one that keeps the previous pattern is off by
// tens.
constexpr double kMaxMeanError = 4.0;
// A picture in which nothing changed: its header and skip map.
constexpr int kMaxUnchangedBytes = 16;

int g_nFailures = 0;

void Failed(const std::string& strWhat) {
    std::fprintf(stderr, "check: %s\n", strWhat.c_str());
    ++g_nFailures;
}

// The worst macroblock's mean absolute difference from the source, over the
// three planes (8x8 chroma blocks belong to their 16x16 luma macroblock).
double WorstMacroblockError(const AVFrame* pFrame, const CPicture& source) {
    double dWorst = 0;
    for (int nMbY = 0; nMbY * 16 < codectest::kHeight; ++nMbY) {
        for (int nMbX = 0; nMbX * 16 < codectest::kWidth; ++nMbX) {
            for (int p = 0; p < 3; ++p) {
                const int nSize = p == 0 ? 16 : 8;
                long nSum = 0;
                int nCount = 0;
                for (int y = nMbY * nSize; y < (nMbY + 1) * nSize && y < CPicture::Height(p); ++y) {
                    for (int x = nMbX * nSize; x < (nMbX + 1) * nSize && x < CPicture::Width(p);
                         ++x) {
                        nSum += std::abs(pFrame->data[p][y * pFrame->linesize[p] + x] -
                                         source.vPlane[p][size_t(y) * CPicture::Width(p) + x]);
                        ++nCount;
                    }
                }
                dWorst = std::max(dWorst, double(nSum) / nCount);
            }
        }
    }
    return dWorst;
}

bool SamePicture(const AVFrame* pA, const AVFrame* pB) {
    for (int p = 0; p < 3; ++p) {
        for (int y = 0; y < CPicture::Height(p); ++y) {
            for (int x = 0; x < CPicture::Width(p); ++x) {
                if (pA->data[p][y * pA->linesize[p] + x] != pB->data[p][y * pB->linesize[p] + x]) {
                    return false;
                }
            }
        }
    }
    return true;
}

char Coding(const AVPacket* pPacket) {
    // Picture type (1 bit: 0 intra), quantiser (5 bits), then for a
    // P-picture the skip-map coding (2 bits).
    const uint8_t b = pPacket->data[0];
    return (b & 0x80) == 0 ? 'I' : "NMRC"[b & 3];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    AVFormatContext* pIn = nullptr;
    if (avformat_open_input(&pIn, argv[1], nullptr, nullptr) < 0 ||
        avformat_find_stream_info(pIn, nullptr) < 0 || pIn->nb_streams != 1) {
        std::fprintf(stderr, "check: cannot read %s as one stream\n", argv[1]);
        return 1;
    }
    const AVCodec* pCodec = avcodec_find_decoder(pIn->streams[0]->codecpar->codec_id);
    AVCodecContext* pDec = pCodec != nullptr ? avcodec_alloc_context3(pCodec) : nullptr;
    if (pDec == nullptr || avcodec_parameters_to_context(pDec, pIn->streams[0]->codecpar) < 0 ||
        avcodec_open2(pDec, pCodec, nullptr) < 0) {
        std::fprintf(stderr, "check: no decoder\n");
        return 1;
    }
    pDec->err_recognition = AV_EF_EXPLODE;

    const std::vector<CStep> vSteps = codectest::Steps();
    AVPacket* pPacket = av_packet_alloc();
    AVFrame* pFrame = av_frame_alloc();
    AVFrame* pPrevious = av_frame_alloc();
    CPicture source;
    size_t nDecoded = 0;
    size_t nPackets = 0;
    while (av_read_frame(pIn, pPacket) >= 0) {
        if (nPackets >= vSteps.size()) {
            Failed("more packets than steps");
            break;
        }
        const size_t nStep = nPackets++;
        const CStep& step = vSteps[nStep];
        const char chCoding = Coding(pPacket);
        const int cbPacket = pPacket->size;
        codectest::Paint(&source, step, int(nStep));
        if (avcodec_send_packet(pDec, pPacket) < 0) {
            Failed(std::string(step.pszName) + ": not decoded");
        }
        av_packet_unref(pPacket);
        if (avcodec_receive_frame(pDec, pFrame) < 0) {
            Failed(std::string(step.pszName) + ": no picture (dropped by the decoder)");
            continue;
        }
        const double dError = WorstMacroblockError(pFrame, source);
        std::printf("%-16s coding %c %6d bytes, worst macroblock off by %.2f\n", step.pszName,
                    chCoding, cbPacket, dError);
        if (chCoding != step.chCoding) {
            Failed(std::string(step.pszName) + ": coding " + chCoding + ", expected " +
                   step.chCoding);
        }
        if (dError > kMaxMeanError) {
            Failed(std::string(step.pszName) + ": a macroblock does not match its source");
        }
        if (step.vChanged.empty()) {
            if (cbPacket > kMaxUnchangedBytes) {
                Failed(std::string(step.pszName) + ": not tiny");
            }
            if (!SamePicture(pFrame, pPrevious)) {
                Failed(std::string(step.pszName) + ": not the picture before it");
            }
        }
        av_frame_unref(pPrevious);
        av_frame_move_ref(pPrevious, pFrame);
        ++nDecoded;
    }
    if (nDecoded != vSteps.size()) {
        Failed("decoded " + std::to_string(nDecoded) + " pictures of " +
               std::to_string(vSteps.size()));
    }
    av_frame_free(&pPrevious);
    av_frame_free(&pFrame);
    av_packet_free(&pPacket);
    avcodec_free_context(&pDec);
    avformat_close_input(&pIn);
    return g_nFailures == 0 ? 0 : 1;
}
