// The session's video path on the synthetic screen, read back with FFmpeg:
// what gets encoded when (nothing for no change, refinement, heartbeat,
// pause and stop frames, key frames by time), that a changed rectangle
// reaches the decoded picture, and that the rate is held.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/core/Settings.h"
#include "engine/core/Session.h"
#include "engine/core/SyntheticSource.h"
#include "tools/hostlib/ChildProcess.h"

namespace dvengine {
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

// Read with FFmpeg's command-line tools: the engine's own FFmpeg has no
// decoder, and no binary links both.
CFile Read(const std::string& strPath) {
    CFile file;
    const auto packets = hostlib::RunToEnd(
        {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
         "packet=pts_time,flags,size:format=duration:format_tags=deskvid_dropped_frames", "-of",
         "compact=nk=0", "file:" + strPath});
    EXPECT_EQ(0, packets.nExit) << packets.strErr;
    std::istringstream in(packets.strOut);
    for (std::string strLine; std::getline(in, strLine);) {
        auto Field = [&](const char* pszKey) {
            const size_t n = strLine.find(pszKey);
            return n == std::string::npos ? std::string() : strLine.substr(n + std::strlen(pszKey));
        };
        if (strLine.rfind("packet|", 0) == 0) {
            file.vPackets.push_back({std::atof(Field("pts_time=").c_str()),
                                     Field("flags=").rfind("K", 0) == 0,
                                     std::atoi(Field("size=").c_str())});
        } else if (strLine.rfind("format|", 0) == 0) {
            file.dDuration = std::atof(Field("duration=").c_str());
            const std::string strDropped = Field("tag:deskvid_dropped_frames=");
            file.nDropped = strDropped.empty() ? -1 : std::strtol(strDropped.c_str(), nullptr, 10);
        }
    }
    // Every picture as decoded (4:2:0, studio range), in order; the last
    // one's luma kept.
    const auto decoded = hostlib::RunToEnd({"ffmpeg", "-nostdin", "-v", "error", "-i",
                                            "file:" + strPath, "-an", "-fps_mode", "passthrough",
                                            "-pix_fmt", "yuv420p", "-f", "rawvideo", "-"});
    EXPECT_EQ(0, decoded.nExit) << decoded.strErr;
    const size_t cbLuma = size_t{kW} * kH;
    const size_t cbPicture = cbLuma * 3 / 2;
    file.nDecoded = static_cast<int>(decoded.strOut.size() / cbPicture);
    if (file.nDecoded > 0) {
        const auto itLast = decoded.strOut.begin() + (file.nDecoded - 1) * cbPicture;
        file.vLastLuma.assign(itLast, itLast + cbLuma);
    }
    return file;
}

class VideoPathTest : public testing::Test {
protected:
    void TearDown() override {
        unlink(m_strPath.c_str());
        unsetenv("DESKVID_TIMING");
    }

    dvengine::CSnapshot Snapshot(int64_t nBitrate, LONG lKeyFrameMs) {
        dvengine::CSnapshot snap;
        snap.bHasProfile = true;
        snap.profile.lContentType = dvengine::kContentVideo;
        snap.profile.bHasAudience = true;
        snap.profile.lAudienceBitrate = static_cast<LONG>(nBitrate);
        snap.profile.lVideoBitrate = static_cast<LONG>(nBitrate);
        snap.profile.lFpsTimes1000 = 20000;
        snap.profile.lKeyFrameMs = lKeyFrameMs;
        snap.profile.lSharpness = m_lSharpness;
        snap.strVideoInput = dvengine::kVideoInput;
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
    LONG m_lSharpness = 100;
    std::unique_ptr<CSession> m_pSession;
    Clock::time_point m_tStart;
};

// Packets in [dFrom, dTo) of file time.
size_t Count(const std::vector<double>& v, double dFrom, double dTo) {
    return static_cast<size_t>(
        std::count_if(v.begin(), v.end(), [&](double d) { return d >= dFrom && d < dTo; }));
}

// The last decoded picture against the synthetic screen once its box made
// all its moves (grabbed here): within dMinPsnr where the box is and
// everywhere else.
void ExpectFinalBox(const CFile& file, int nMoves, double dMinPsnr) {
    CSyntheticScreenOptions options;
    ASSERT_TRUE(ParseSyntheticScreenOptions("size=640x360,mode=box", &options));
    options.nMoves = nMoves;
    std::unique_ptr<IScreenSource> pScreen = CreateSyntheticSource(options);
    ASSERT_EQ(S_OK, pScreen->Start(MonotonicUs() + 1000000));
    CScreenFrame frame;
    CRect box;
    for (int i = 0; i <= nMoves + 2; ++i) {
        ASSERT_EQ(S_OK, pScreen->Grab(MonotonicUs() + 1000000, &frame));
        if (frame.vChanged.size() == 2) {
            box = frame.vChanged[1];
        }
    }
    ASSERT_GT(box.w, 0);
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
    EXPECT_GT(Psnr(dErrIn, nIn), dMinPsnr) << "where the box is now";
    EXPECT_GT(Psnr(dErrOut, nOut), dMinPsnr) << "everywhere else";
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

TEST_F(VideoPathTest, ConstantRatePutsAPictureInEverySlotAcrossAPause) {
    setenv("DESKVID_TIMING", "constant", 1);
    Begin("mode=idle", 468000);
    Sleep(1.0);
    ASSERT_EQ(S_OK, m_pSession->Pause());
    Sleep(0.3);
    ASSERT_EQ(S_OK, m_pSession->Start());
    Sleep(1.0);
    ASSERT_EQ(S_OK, m_pSession->Finish());

    const CFile file = Read(m_strPath);
    const std::vector<double> v = file.Times();
    // Every slot of the 20 frames/s from the start to the stop (the pause
    // left out), each picture at its time and decoded.
    ASSERT_GE(v.size(), 30u);
    ASSERT_LE(v.size(), 50u);
    for (size_t i = 0; i < v.size(); ++i) {
        ASSERT_NEAR(v[i], 0.05 * static_cast<double>(i), 0.0015) << "picture " << i;
    }
    EXPECT_EQ(v.size(), static_cast<size_t>(file.nDecoded));
    EXPECT_NEAR(file.dDuration, 2.0, 0.5);
    // Nothing changes: apart from the first picture, a few refinements and
    // heartbeats, every picture is skipped all over, tens of bytes.
    const size_t nSmall = static_cast<size_t>(std::count_if(
        file.vPackets.begin(), file.vPackets.end(), [](const CPacket& p) { return p.nSize < 64; }));
    EXPECT_GE(nSmall, v.size() - 8);
    EXPECT_EQ(0, file.nDropped);
}

TEST_F(VideoPathTest, MovedBoxReachesTheDecodedPictureAndIsRefinedOnceStill) {
    // Moves at 200 kbit/s are coded coarsely enough to leave something to
    // refine.
    constexpr int kMoves = 8;
    Begin("mode=box,moves=" + std::to_string(kMoves), 200000);
    Sleep(2.0);
    ASSERT_EQ(S_OK, m_pSession->Finish());

    const CFile file = Read(m_strPath);
    ExpectFinalBox(file, kMoves, 30.0);

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

// The session's bookkeeping: every change reaches the picture and the map,
// whatever happens to the grab that carried it; drops counted only where a
// slot lost its picture; a start that failed may be tried again.

TEST_F(VideoPathTest, ChangeGrabbedAsAPauseBeginsReachesThePicture) {
    // The last move's grab stalls past the pause; at sharpness 0 no
    // refinement would cover a macroblock the map left out.
    m_lSharpness = 0;
    Begin("mode=box,moves=6,stall-at=6:1000", 468000);
    Sleep(0.6);
    ASSERT_EQ(S_OK, m_pSession->Pause());
    Sleep(0.9);
    ASSERT_EQ(S_OK, m_pSession->Start());
    Sleep(0.6);
    ASSERT_EQ(S_OK, m_pSession->Finish());
    ExpectFinalBox(Read(m_strPath), 6, 20.0);
}

TEST_F(VideoPathTest, PausesAndResumesCountNoDroppedFrames) {
    // Every grab changes the whole screen, at a rate that affords it; a
    // resume lands in the slot of the pause's frame as often as not.
    m_lSharpness = 0;
    Begin("mode=full", 4000000);
    for (int i = 0; i < 80; ++i) {
        Sleep(0.02);
        ASSERT_EQ(S_OK, m_pSession->Pause());
        Sleep(0.02);
        ASSERT_EQ(S_OK, m_pSession->Start());
    }
    ASSERT_EQ(S_OK, m_pSession->Finish());
    // A drop is a slot left without its picture (a busy encoder), but for
    // the few a pause's frame filled after its picture was dropped.
    const CFile file = Read(m_strPath);
    const std::vector<double> v = file.Times();
    ASSERT_FALSE(v.empty());
    const long nEmpty = std::lround(v.back() * 20) + 1 - static_cast<long>(v.size());
    EXPECT_LE(file.nDropped, nEmpty + 3);
}

TEST_F(VideoPathTest, StartThatFailedAfterItsFirstPictureRecordsWhenRetried) {
    // The name taken by a folder: the recording cannot take it.
    setenv("DESKVID_SCREEN", "synthetic:size=640x360,mode=box", 1);
    ASSERT_EQ(S_OK, CSession::Open(Snapshot(468000, 50000), &m_pSession));
    unlink(m_strPath.c_str());
    ASSERT_EQ(0, mkdir(m_strPath.c_str(), 0700));
    EXPECT_NE(S_OK, m_pSession->Start());
    ASSERT_EQ(0, rmdir(m_strPath.c_str()));
    ASSERT_EQ(S_OK, m_pSession->Start());
    Sleep(0.5);
    ASSERT_EQ(S_OK, m_pSession->Finish());
    const CFile file = Read(m_strPath);
    EXPECT_GE(file.vPackets.size(), 5u);
    EXPECT_NEAR(file.dDuration, 0.5, 0.5);
}

}  // namespace
}  // namespace dvengine
