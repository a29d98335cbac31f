// Prints what our FFmpeg's WMV2 encoder costs per 1920x1080 P-picture, fed
// as FFmpeg's own tools feed it (no map, an input it copies) and as the
// engine feeds it (the map of unchanged macroblocks, pictures from the
// engine's picture ring that it takes without a copy): a picture in which
// nothing changed, and one in which a 600x400 window changed (the encoding
// thread's CPU time per picture, which other processes on the machine barely
// change, and bytes).
//
// Then the quality guard: full motion at 2000 kbit/s and a 600x400 window
// playing video at 468 kbit/s, fed as the engine does, under the encoder's
// rate control: the bit rate written and the PSNR of the encoder's
// reconstruction (what a decoder shows) against the source. Skipping must
// not cost quality: compare the figures of two builds.
//
// With DESKVID_LIBRARY, also how long loading libdeskvid.so takes.
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef DESKVID_LIBRARY
#include <dlfcn.h>
#endif

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "engine/core/PictureRing.h"
#include "engine/core/SkipMap.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPictures = 40;
const dvengine::CRect kWindow{700, 300, 600, 400};
const dvengine::CRect kWhole{0, 0, kWidth, kHeight};

using Clock = std::chrono::steady_clock;

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

enum class EScene {
    kStill,   // nothing changes
    kWindow,  // the window's content scrolls
    kVideo,   // the window plays a moving picture
    kMotion,  // the whole screen plays it
};

// A desktop-like picture (flat areas, gradients and fine detail) with the
// scene's moving part at step n, within r (picture coordinates).
void Paint(AVFrame* pFrame, EScene eScene, int n, const dvengine::CRect& r) {
    const dvengine::CRect& moving = eScene == EScene::kMotion ? kWhole : kWindow;
    for (int y = r.y; y < r.y + r.h; ++y) {
        uint8_t* pRow = pFrame->data[0] + y * pFrame->linesize[0];
        for (int x = r.x; x < r.x + r.w; ++x) {
            const bool bMoving = eScene != EScene::kStill && x >= moving.x &&
                                 x < moving.x + moving.w && y >= moving.y &&
                                 y < moving.y + moving.h;
            if (bMoving && eScene != EScene::kWindow) {
                // Two gradients moving against each other and a bar.
                const int a = (x * 3 + n * 9) & 255;
                const int b = (y * 2 - n * 5) & 255;
                const bool bBar = ((x + n * 23) % 400) < 40;
                pRow[x] = uint8_t(bBar ? 235 : 16 + (a + b) * 219 / 510);
            } else {
                const int nShift = bMoving ? n * 7 : 0;
                pRow[x] = uint8_t(y < 40 ? 60 : ((x + nShift) / 8 % 9 == 0 ? 30 : 200 - y / 8));
            }
        }
    }
    for (int p = 1; p < 3; ++p) {
        for (int y = r.y / 2; y < (r.y + r.h) / 2; ++y) {
            uint8_t* pRow = pFrame->data[p] + y * pFrame->linesize[p];
            for (int x = r.x / 2; x < (r.x + r.w) / 2; ++x) {
                const bool bMoving = eScene == EScene::kVideo || eScene == EScene::kMotion;
                pRow[x] = uint8_t(bMoving ? 128 + ((x + y + n * 3 * p) & 63) - 32 : 128 + p * 10);
            }
        }
    }
}

struct CResult {
    double dMs = 0;
    double dBytes = 0;
    double dPsnr = 0;
};

AVCodecContext* OpenEncoder(bool bEngine, int64_t nBitrate, bool bPsnr) {
    const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
    AVCodecContext* pEnc = avcodec_alloc_context3(pCodec);
    pEnc->width = kWidth;
    pEnc->height = kHeight;
    pEnc->pix_fmt = AV_PIX_FMT_YUV420P;
    pEnc->time_base = AVRational{1, 20};
    pEnc->framerate = AVRational{20, 1};
    pEnc->bit_rate = nBitrate;
    pEnc->gop_size = 600;
    pEnc->max_b_frames = 0;
    pEnc->thread_count = 1;
    if (bPsnr) {
        pEnc->flags |= AV_CODEC_FLAG_PSNR;
    }
    if (bEngine) {
        av_opt_set_int(pEnc->priv_data, "padded_input", 1, 0);
    }
    if (avcodec_open2(pEnc, pCodec, nullptr) < 0) {
        std::fprintf(stderr, "bench_codec: cannot open the encoder\n");
        avcodec_free_context(&pEnc);
    }
    return pEnc;
}

// Encodes a key frame, then nPictures P-pictures of the scene. Fed as the
// engine does (bEngine: the ring, only what changed painted, and the map),
// or as FFmpeg's tools do (a whole picture that the encoder copies, no map).
CResult Run(EScene eScene, bool bEngine, int nPictures, int64_t nBitrate, bool bPsnr) {
    AVCodecContext* pEnc = OpenEncoder(bEngine, nBitrate, bPsnr);
    AVPacket* pPacket = av_packet_alloc();
    AVFrame* pFrame = av_frame_alloc();
    dvengine::CPictureRing ring;
    CResult result;
    if (pEnc == nullptr || pPacket == nullptr || pFrame == nullptr ||
        (bEngine && FAILED(ring.Open(dvengine::CPictureLayout::Of(pEnc))))) {
        return result;
    }
    pFrame->format = AV_PIX_FMT_YUV420P;
    pFrame->width = kWidth;
    pFrame->height = kHeight;
    if (!bEngine && av_frame_get_buffer(pFrame, 0) < 0) {
        return result;
    }
    const dvengine::CRect changed = eScene == EScene::kMotion ? kWhole : kWindow;
    double dCpuMs = 0, dSse = 0;
    int64_t nBytes = 0;
    for (int n = 0; n <= nPictures; ++n) {
        const dvengine::CRect r = n == 0 ? kWhole : changed;
        if (bEngine) {
            AVFrame* pWritable = ring.Writable();
            if (pWritable == nullptr) {
                break;
            }
            if (n == 0 || eScene != EScene::kStill) {
                Paint(pWritable, eScene, n, r);
                ring.Written(r);
            }
            av_frame_free(&pFrame);
            if ((pFrame = ring.Hand(n)) == nullptr) {
                break;
            }
            if (n > 0) {
                dvengine::AttachSkipMap(pFrame, eScene == EScene::kStill
                                                    ? std::vector<dvengine::CRect>{}
                                                    : std::vector<dvengine::CRect>{changed});
            }
        } else {
            if (av_frame_make_writable(pFrame) < 0) {
                break;
            }
            Paint(pFrame, eScene, eScene == EScene::kStill ? 0 : n, kWhole);
        }
        pFrame->pts = n;
        const double dStartMs = ThreadCpuMs();
        avcodec_send_frame(pEnc, pFrame);
        while (avcodec_receive_packet(pEnc, pPacket) >= 0) {
            if (n > 0) {
                nBytes += pPacket->size;
                size_t cb = 0;
                const uint8_t* pStats =
                    av_packet_get_side_data(pPacket, AV_PKT_DATA_QUALITY_STATS, &cb);
                for (int p = 0; pStats != nullptr && p < 3 && cb >= 8 + 8 * size_t(p + 1); ++p) {
                    uint64_t nSse = 0;
                    std::memcpy(&nSse, pStats + 8 + 8 * p, 8);
                    dSse += double(nSse);
                }
            }
            av_packet_unref(pPacket);
        }
        if (n > 0) {
            dCpuMs += ThreadCpuMs() - dStartMs;
        }
    }
    const double dSamples = 1.5 * kWidth * kHeight * nPictures;
    result.dMs = dCpuMs / nPictures;
    result.dBytes = double(nBytes) / nPictures;
    result.dPsnr = dSse > 0 ? 10 * std::log10(255.0 * 255.0 * dSamples / dSse) : INFINITY;
    av_packet_free(&pPacket);
    av_frame_free(&pFrame);
    avcodec_free_context(&pEnc);
    return result;
}

}  // namespace

int main() {
    av_log_set_level(AV_LOG_ERROR);
    std::printf("WMV2 %dx%d P-picture, CPU (mean of %d)   as FFmpeg's tools   as the engine\n",
                kWidth, kHeight, kPictures);
    for (EScene eScene : {EScene::kStill, EScene::kWindow}) {
        const CResult plain = Run(eScene, false, kPictures, 468000, false);
        const CResult ours = Run(eScene, true, kPictures, 468000, false);
        std::printf("%-33s %6.2f ms %7.0f B   %6.2f ms %7.0f B\n",
                    eScene == EScene::kWindow ? "600x400 window changed" : "nothing changed",
                    plain.dMs, plain.dBytes, ours.dMs, ours.dBytes);
    }
    std::printf("quality at the encoder's rate control, as the engine feeds it, 100 pictures:\n");
    for (EScene eScene : {EScene::kMotion, EScene::kVideo}) {
        const int64_t nBitrate = eScene == EScene::kMotion ? 2000000 : 468000;
        const CResult r = Run(eScene, true, 100, nBitrate, true);
        std::printf("  %-30s %5lld kbit/s asked: %6.0f kbit/s, PSNR %6.2f dB, %5.2f ms\n",
                    eScene == EScene::kMotion ? "full motion" : "600x400 window playing video",
                    static_cast<long long>(nBitrate / 1000), r.dBytes * 8 * 20 / 1000, r.dPsnr,
                    r.dMs);
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
