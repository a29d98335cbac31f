// The output's sound track, read back with FFmpeg's tools: silence after
// silence is written again from the packet the encoder made for it, and the
// track is, packet for packet, the one the encoder makes of the same samples.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/core/Output.h"
#include "tests/common/HostTest.h"

namespace dvengine {
namespace {

// Each audio packet's times, size and checksum, in order.
std::vector<std::string> Packets(const std::vector<std::string>& vInput) {
    std::vector<std::string> vArgs = {"ffmpeg", "-nostdin", "-v", "error"};
    vArgs.insert(vArgs.end(), vInput.begin(), vInput.end());
    vArgs.insert(vArgs.end(), {"-c:a", "copy", "-f", "framecrc", "-"});
    const auto run = testproc::RunToEnd(vArgs);
    EXPECT_EQ(0, run.nExit) << run.strErr;
    std::vector<std::string> v;
    std::istringstream in(run.strOut);
    for (std::string strLine; std::getline(in, strLine);) {
        if (!strLine.empty() && strLine[0] != '#') {
            v.push_back(strLine);
        }
    }
    return v;
}

TEST(OutputTest, SilenceIsWrittenAsTheEncoderCodesIt) {
    const testproc::CTempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    // Silence, sound, silence, a short sound, and silence ending in a part
    // frame: the runs of silence cover several of the encoder's frames.
    std::vector<int16_t> vSamples;
    auto Add = [&](double dSeconds, double dHz) {
        const int n = static_cast<int>(dSeconds * kAudioSampleRate);
        for (int i = 0; i < n; ++i) {
            const double d = 8000 * std::sin(2 * M_PI * dHz * i / kAudioSampleRate);
            const auto s = static_cast<int16_t>(dHz > 0 ? d + (i * 7919 % 61) - 30 : 0);
            vSamples.insert(vSamples.end(), {s, static_cast<int16_t>(-s)});
        }
    };
    Add(0.5, 0);
    Add(0.3, 440);
    Add(0.6, 0);
    Add(0.02, 1000);
    Add(0.47, 0);
    std::ofstream(dir.File("in.raw"), std::ios::binary)
        .write(reinterpret_cast<const char*>(vSamples.data()),
               static_cast<std::streamsize>(vSamples.size() * sizeof(int16_t)));

    CSnapshot snap;
    snap.strFile = dir.File("out.wmv");
    std::unique_ptr<COutput> pOut;
    ASSERT_EQ(S_OK, COutput::Open(snap, nullptr, true, &pOut));
    const int64_t nFrames = static_cast<int64_t>(vSamples.size()) / kAudioChannels;
    for (int64_t n = 0; n < nFrames; n += 480) {
        ASSERT_EQ(S_OK, pOut->WriteAudio(&vSamples[n * kAudioChannels],
                                         std::min<int64_t>(480, nFrames - n)));
    }
    ASSERT_EQ(S_OK, pOut->FinishAudio());
    ASSERT_EQ(S_OK, pOut->Commit());
    ASSERT_EQ(S_OK, pOut->Finish(0));
    pOut.reset();

    // The encoder's own track of the samples, in the same kind of file.
    const auto encoded =
        testproc::RunToEnd({"ffmpeg", "-nostdin", "-v", "error", "-f", "s16le", "-ar",
                            std::to_string(kAudioSampleRate), "-ac", std::to_string(kAudioChannels),
                            "-i", "file:" + dir.File("in.raw"), "-c:a", "wmav2", "-b:a",
                            std::to_string(kAudioBitrate), "file:" + dir.File("ref.wmv")});
    ASSERT_EQ(0, encoded.nExit) << encoded.strErr;
    const auto vOurs = Packets({"-i", "file:" + snap.strFile});
    const auto vEncoder = Packets({"-i", "file:" + dir.File("ref.wmv")});
    EXPECT_GT(vOurs.size(), 40u);
    EXPECT_EQ(vEncoder, vOurs);
}

}  // namespace
}  // namespace dvengine
