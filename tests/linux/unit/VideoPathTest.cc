// The session's video path on the synthetic screen, read back with FFmpeg:
// what gets encoded when (nothing for no change, refinement, heartbeat,
// pause and stop frames, key frames by time), that a changed rectangle
// reaches the decoded picture, and that the rate is held.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "engine/linux/LibavConfig.h"
#include "engine/linux/Session.h"
#include "engine/linux/screen/SyntheticSource.h"

namespace dvlinux {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kW = 640;
constexpr int kH = 360;

struct CPacket {
    double dTime;
    bool bKey;
    int nSize;
};

// What the file holds: its video packets, duration, dropped-frame tag and
// the last decoded picture's luma.
struct CFile {
    std::vector<CPacket> vPackets;
    double dDuration = 0;
    long nDropped = -1;
    std::vector<uint8_t> vLastLuma;
    int nDecoded = 0;

    // Packet times from the first one on.
    std::vector<double> Times(bool bKeysOnly = false) const {
        std::vector<double> v;
        for (const CPacket& p : vPackets) {
            if (p.bKey || !bKeysOnly) {
                v.push_back(p.dTime - vPackets[0].dTime);
            }
        }
        return v;
    }
    double Bits() const {
        double d = 0;
        for (const CPacket& p : vPackets) {
            d += 8.0 * p.nSize;
        }
        return d;
    }
};

CFile Read(const std::string& strPath) {
    CFile file;
    AVFormatContext* pFmt = nullptr;
    if (avformat_open_input(&pFmt, strPath.c_str(), nullptr, nullptr) < 0) {
        ADD_FAILURE() << "cannot open " << strPath;
        return file;
    }
    avformat_find_stream_info(pFmt, nullptr);
    const int iVideo = av_find_best_stream(pFmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVDictionaryEntry* pTag =
        av_dict_get(pFmt->metadata, "deskvid_dropped_frames", nullptr, 0);
    file.nDropped = pTag != nullptr ? std::strtol(pTag->value, nullptr, 10) : -1;
    file.dDuration = static_cast<double>(pFmt->duration) / AV_TIME_BASE;
    AVCodecContext* pDec = nullptr;
    if (iVideo >= 0) {
        pDec = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_WMV2));
        avcodec_parameters_to_context(pDec, pFmt->streams[iVideo]->codecpar);
        avcodec_open2(pDec, nullptr, nullptr);
    }
    AVPacket* pPacket = av_packet_alloc();
    AVFrame* pFrame = av_frame_alloc();
    while (av_read_frame(pFmt, pPacket) >= 0) {
        if (pPacket->stream_index == iVideo) {
            file.vPackets.push_back({pPacket->pts * av_q2d(pFmt->streams[iVideo]->time_base),
                                     (pPacket->flags & AV_PKT_FLAG_KEY) != 0, pPacket->size});
            avcodec_send_packet(pDec, pPacket);
            while (avcodec_receive_frame(pDec, pFrame) >= 0) {
                ++file.nDecoded;
                file.vLastLuma.resize(size_t{kW} * kH);
                for (int y = 0; y < kH && pFrame->width == kW; ++y) {
                    std::copy_n(pFrame->data[0] + y * pFrame->linesize[0], kW,
                                &file.vLastLuma[size_t{kW} * y]);
                }
            }
        }
        av_packet_unref(pPacket);
    }
    av_frame_free(&pFrame);
    av_packet_free(&pPacket);
    avcodec_free_context(&pDec);
    avformat_close_input(&pFmt);
    return file;
}

class VideoPathTest : public testing::Test {
protected:
    void TearDown() override { unlink(m_strPath.c_str()); }

    libav::CSnapshot Snapshot(int64_t nBitrate, LONG lKeyFrameMs) {
        libav::CSnapshot snap;
        snap.bHasProfile = true;
        snap.profile.lContentType = libav::kContentVideo;
        snap.profile.bHasAudience = true;
        snap.profile.lAudienceBitrate = static_cast<LONG>(nBitrate);
        snap.profile.lVideoBitrate = static_cast<LONG>(nBitrate);
        snap.profile.lFpsTimes1000 = 20000;
        snap.profile.lKeyFrameMs = lKeyFrameMs;
        snap.profile.lSharpness = 100;
        snap.strVideoInput = libav::kVideoInput;
        snap.bScreen = true;
        snap.strFile = m_strPath;
        return snap;
    }

    // Opens and starts a session on the synthetic screen; the file time
    // starts when Start() returns, give or take its own duration.
    void Begin(const std::string& strScreen, int64_t nBitrate, LONG lKeyFrameMs = 50000) {
        setenv("DESKVID_SCREEN", ("synthetic:size=640x360," + strScreen).c_str(), 1);
        ASSERT_EQ(S_OK, CSession::Open(Snapshot(nBitrate, lKeyFrameMs), &m_pSession));
        ASSERT_EQ(S_OK, m_pSession->Start());
        m_tStart = Clock::now();
    }
    double Elapsed() const {
        return std::chrono::duration<double>(Clock::now() - m_tStart).count();
    }
    static void Sleep(double dSeconds) {
        std::this_thread::sleep_for(std::chrono::duration<double>(dSeconds));
    }

    std::string m_strPath =
        testing::TempDir() + "deskvid-video-path-" + std::to_string(getpid()) + ".wmv";
    std::unique_ptr<CSession> m_pSession;
    Clock::time_point m_tStart;
};

// Packets in [dFrom, dTo) of file time.
size_t Count(const std::vector<double>& v, double dFrom, double dTo) {
    return static_cast<size_t>(
        std::count_if(v.begin(), v.end(), [&](double d) { return d >= dFrom && d < dTo; }));
}

TEST_F(VideoPathTest, StillScreenGetsHeartbeatsAPauseFrameAStopFrameAndKeyFramesByTime) {
    Begin("mode=idle", 468000, 1500);
    Sleep(1.5);
    const double dPauseFrom = Elapsed();
    ASSERT_EQ(S_OK, m_pSession->Pause());
    const double dPauseTo = Elapsed();
    Sleep(0.6);
    const double dResumeFrom = Elapsed();
    ASSERT_EQ(S_OK, m_pSession->Start());  // resume: the file's time goes on from the pause
    const double dResumeTo = Elapsed();
    Sleep(1.2);
    // The file's end: the stop's time less the pause, each known within
    // the commands' durations.
    const double dStopFrom = Elapsed() - (dResumeTo - dPauseFrom);
    ASSERT_EQ(S_OK, m_pSession->Finish());
    const double dStopTo = Elapsed() - (dResumeFrom - dPauseTo);

    const CFile file = Read(m_strPath);
    const std::vector<double> v = file.Times();
    ASSERT_FALSE(v.empty());
    // About 54 slots; a frame at the start and a refinement or two, three
    // heartbeats at most, one at the pause and one at the stop.
    EXPECT_LE(v.size(), 8u);
    for (size_t i = 1; i < v.size(); ++i) {
        EXPECT_LE(v[i] - v[i - 1], 1.05 + 0.5) << "heartbeat after " << v[i - 1];
    }
    EXPECT_EQ(1u, Count(v, dPauseFrom - 0.1, dPauseTo + 0.05)) << "the pause frame";
    EXPECT_GE(v.back(), dStopFrom - 0.1) << "the stop frame";
    EXPECT_NEAR(file.dDuration, (dStopFrom + dStopTo) / 2, 0.5);
    // Key frames: the first, then the first frame 1.5 s on; not by count.
    const std::vector<double> vKeys = file.Times(true);
    ASSERT_EQ(2u, vKeys.size());
    EXPECT_GE(vKeys[1], 1.5);
    EXPECT_LE(vKeys[1], 1.5 + 1.05 + 0.5);
    EXPECT_EQ(v.size(), static_cast<size_t>(file.nDecoded));
    EXPECT_EQ(0, file.nDropped);
}

TEST_F(VideoPathTest, MovedBoxReachesTheDecodedPictureAndIsRefinedOnceStill) {
    // Moves at 200 kbit/s are coded coarsely enough to leave something to
    // refine.
    constexpr int kMoves = 8;
    Begin("mode=box,moves=" + std::to_string(kMoves), 200000);
    Sleep(2.0);
    ASSERT_EQ(S_OK, m_pSession->Finish());

    // The same screen, grabbed here: its last picture, and where the box went.
    CSyntheticScreenOptions options;
    ASSERT_TRUE(ParseSyntheticScreenOptions("size=640x360,mode=box,moves=8", &options));
    std::unique_ptr<IScreenSource> pScreen = CreateSyntheticSource(options);
    ASSERT_EQ(S_OK, pScreen->Start(MonotonicUs() + 1000000));
    CScreenFrame frame;
    CRect box;
    for (int i = 0; i <= kMoves + 2; ++i) {
        ASSERT_EQ(S_OK, pScreen->Grab(MonotonicUs() + 1000000, &frame));
        if (frame.vChanged.size() == 2) {
            box = frame.vChanged[1];
        }
    }
    ASSERT_GT(box.w, 0);

    const CFile file = Read(m_strPath);
    ASSERT_EQ(size_t{kW} * kH, file.vLastLuma.size());
    double dErrIn = 0, dErrOut = 0;
    int nIn = 0, nOut = 0;
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            const uint8_t* p = frame.pPixels + y * frame.nStride + x * 4;
            const int nY = ((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16;
            const double d = nY - file.vLastLuma[size_t{kW} * y + x];
            const bool bIn = x >= box.x && x < box.x + box.w && y >= box.y && y < box.y + box.h;
            (bIn ? dErrIn : dErrOut) += d * d;
            ++(bIn ? nIn : nOut);
        }
    }
    auto Psnr = [](double dErr, int n) { return 10 * std::log10(255.0 * 255.0 * n / dErr); };
    EXPECT_GT(Psnr(dErrIn, nIn), 30.0) << "where the box is now";
    EXPECT_GT(Psnr(dErrOut, nOut), 30.0) << "everywhere else";

    // Each move encoded (the start's picture holds the first; a busy
    // encoder may drop one); once still, two refinements in the slots after,
    // then nothing but a heartbeat a second on and the stop frame.
    const std::vector<double> v = file.Times();
    size_t iStill = 0;  // the last frame before the first second-long gap
    while (iStill + 1 < v.size() && v[iStill + 1] - v[iStill] < 0.95) {
        ++iStill;
    }
    ASSERT_LT(iStill + 1, v.size()) << "no heartbeat";
    EXPECT_GE(static_cast<long>(iStill + 1), kMoves + 2 - file.nDropped);
    EXPECT_LE(v[iStill] - v[iStill - 2], 0.1 + 0.15) << "refinements late";
    for (size_t i = iStill + 1; i + 1 < v.size(); ++i) {
        EXPECT_GE(v[i] - v[i - 1], 0.95) << "a frame while still at " << v[i];
        EXPECT_LE(v[i] - v[i - 1], 1.5) << "heartbeat late at " << v[i];
    }
}

TEST_F(VideoPathTest, HoldsTheRateOnAScreenThatChangesEveryFrame) {
    // At 100 kbit/s even the coarsest quantiser needs about four times the
    // rate for every frame of this screen.
    Begin("mode=full", 100000);
    Sleep(5.0);
    ASSERT_EQ(S_OK, m_pSession->Finish());
    const double dRecorded = Elapsed();

    const CFile file = Read(m_strPath);
    EXPECT_LE(file.Bits() / dRecorded, 1.1 * 100000);
    EXPECT_GT(file.Bits() / dRecorded, 0.5 * 100000);
    EXPECT_GT(file.nDropped, 40);
    EXPECT_NEAR(file.dDuration, dRecorded, 0.5);
}

}  // namespace
}  // namespace dvlinux
