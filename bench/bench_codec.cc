// Prints what our FFmpeg's WMV2 encoder costs per 1920x1080 P-picture, with
// and without the map of unchanged macroblocks: a picture in which nothing
// changed, and one in which a 600x400 window changed (the encoding thread's
// CPU time per picture, which other processes on the machine barely change,
// and bytes). With DESKVID_LIBRARY, also how long loading libdeskvid.so takes.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef DESKVID_LIBRARY
#include <dlfcn.h>
#endif

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "engine/core/SkipMap.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPictures = 40;
const dvengine::CRect kWindow{700, 300, 600, 400};

using Clock = std::chrono::steady_clock;

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

// A desktop-like picture: flat areas, gradients and fine detail; nStep moves
// the content of the window.
void Paint(AVFrame* pFrame, int nStep) {
    for (int y = 0; y < kHeight; ++y) {
        uint8_t* pRow = pFrame->data[0] + y * pFrame->linesize[0];
        for (int x = 0; x < kWidth; ++x) {
            const bool bWindow = x >= kWindow.x && x < kWindow.x + kWindow.w && y >= kWindow.y &&
                                 y < kWindow.y + kWindow.h;
            const int nShift = bWindow ? nStep * 7 : 0;
            pRow[x] = uint8_t(y < 40 ? 60 : ((x + nShift) / 8 % 9 == 0 ? 30 : 200 - y / 8));
        }
    }
    for (int p = 1; p < 3; ++p) {
        for (int y = 0; y < kHeight / 2; ++y) {
            std::memset(pFrame->data[p] + y * pFrame->linesize[p], 128 + p * 10, kWidth / 2);
        }
    }
}

struct CResult {
    double dMs = 0;
    double dBytes = 0;
};

// Encodes a key frame, then kPictures P-pictures, each with the window
// changed (or not), and the map attached (or not).
CResult Run(bool bWindowChanges, bool bMap) {
    const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
    AVCodecContext* pEnc = avcodec_alloc_context3(pCodec);
    AVFrame* pFrame = av_frame_alloc();
    AVPacket* pPacket = av_packet_alloc();
    pEnc->width = kWidth;
    pEnc->height = kHeight;
    pEnc->pix_fmt = AV_PIX_FMT_YUV420P;
    pEnc->time_base = AVRational{1, 20};
    pEnc->bit_rate = 468000;  // the host's default
    pEnc->gop_size = 600;
    pEnc->max_b_frames = 0;
    pEnc->thread_count = 1;
    pFrame->format = AV_PIX_FMT_YUV420P;
    pFrame->width = kWidth;
    pFrame->height = kHeight;
    CResult result;
    if (avcodec_open2(pEnc, pCodec, nullptr) < 0 || av_frame_get_buffer(pFrame, 0) < 0) {
        std::fprintf(stderr, "bench_codec: cannot open the encoder\n");
        return result;
    }
    double dCpuMs = 0;
    int64_t nBytes = 0;
    for (int n = 0; n <= kPictures; ++n) {
        if (av_frame_make_writable(pFrame) < 0) {
            break;
        }
        Paint(pFrame, bWindowChanges ? n : 0);
        pFrame->pts = n;
        if (bMap && n > 0) {
            dvengine::AttachSkipMap(pFrame, bWindowChanges ? std::vector<dvengine::CRect>{kWindow}
                                                           : std::vector<dvengine::CRect>{});
        }
        const double dStartMs = ThreadCpuMs();
        avcodec_send_frame(pEnc, pFrame);
        while (avcodec_receive_packet(pEnc, pPacket) >= 0) {
            if (n > 0) {
                nBytes += pPacket->size;
            }
            av_packet_unref(pPacket);
        }
        if (n > 0) {
            dCpuMs += ThreadCpuMs() - dStartMs;
        }
    }
    result.dMs = dCpuMs / kPictures;
    result.dBytes = double(nBytes) / kPictures;
    av_packet_free(&pPacket);
    av_frame_free(&pFrame);
    avcodec_free_context(&pEnc);
    return result;
}

}  // namespace

int main() {
    av_log_set_level(AV_LOG_ERROR);
    std::printf("WMV2 %dx%d P-picture, CPU (mean of %d)   without map       with map\n", kWidth,
                kHeight, kPictures);
    for (bool bWindow : {false, true}) {
        const CResult plain = Run(bWindow, false);
        const CResult skip = Run(bWindow, true);
        std::printf("%-33s %6.2f ms %7.0f B   %6.2f ms %7.0f B\n",
                    bWindow ? "600x400 window changed" : "nothing changed", plain.dMs, plain.dBytes,
                    skip.dMs, skip.dBytes);
    }
#ifdef DESKVID_LIBRARY
    const Clock::time_point start = Clock::now();
    void* hLib = dlopen(DESKVID_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    const double dMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (hLib == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    std::printf("loading libdeskvid.so (dlopen, RTLD_NOW): %.2f ms\n", dMs);
    dlclose(hLib);
#endif
    return 0;
}
