#include <cstring>
#include <memory>
#include <stdexcept>

#include <deskvid/deskvid_status.h>

#include "tests/capture/CaptureTest.h"

std::vector<std::string> ProfileLines(const ProfileValues& v) {
    const std::string strBitrate = std::to_string(v.lBitrate);
    return {
        "new Profile",
        "Profile.ValidateMode = true",
        "Profile.ProfileName = \"Custom Screen Capture Profile\"",
        "Profile.ProfileDescription = \"A Custom Video Profile For Screen Capture\"",
        "Profile.ContentType = 17",
        "Profile.VBRMode(audio, 0) = 1",
        "Profile.VBRMode(video, 0) = 1",
        "Profile.AddAudience(" + strBitrate + ")",
        "Audience.VideoBitrate(0) = " + strBitrate,
        "Audience.VideoHeight(0) = " + std::to_string(v.lHeight),
        "Audience.VideoWidth(0) = " + std::to_string(v.lWidth),
        "Audience.VideoKeyFrameDistance(0) = 50000",
        "Audience.VideoFPS(0) = " + std::to_string(v.lFps),
        "Audience.VideoImageSharpness(0) = " + std::to_string(v.lSharpness),
        "Profile.Validate()",
        "Profile.QueryInterface(IWMEncProfile)",
        "Group.Profile = dispatch:Profile",
    };
}

namespace {

const std::vector<std::string> kNewSources = {
    "Group.AddSource(video)",
    "Group.AddSource(audio)",
    "AudioSource.SetInput(\"Device://Default_Audio_Device\", \"\", \"\")",
    "VideoSource.QueryInterface(IWMEncVideoSource2)",
    "VideoSource.SetInput(\"ScreenCap://ScreenCapture1\", \"\", \"\")",
    "VideoSource.QueryInterface(IPropertyBag)",
    "VideoSource.Write(\"Screen\", bool:true)",
};

void Append(std::vector<std::string>* pLines, const std::vector<std::string>& more) {
    pLines->insert(pLines->end(), more.begin(), more.end());
}

}  // namespace

std::vector<std::string> FirstStartLines(const std::string& strFile, const ProfileValues& values) {
    std::vector<std::string> lines = {
        "new Encoder",
        "Encoder.SourceGroupCollection",
        "Collection.Add(\"SG_1\")",
        "Group.SourceCount(audio)",
        "Group.SourceCount(video)",
    };
    Append(&lines, kNewSources);
    Append(&lines, ProfileLines(values));
    Append(&lines, {
                       "Encoder.File",
                       "File.LocalFileName = " + strFile,
                       "Encoder.DisplayInfo",
                       "DisplayInfo.Author = \"\"",
                       "DisplayInfo.Copyright = \"\"",
                       "DisplayInfo.Description = \"Description of the encoded content.\"",
                       "DisplayInfo.Rating = \"Content rating.\"",
                       "DisplayInfo.Title = \"\"",
                       "Encoder.PrepareToEncode(true)",
                       "Encoder.Start()",
                   });
    return lines;
}

std::vector<std::string> ReconfigureLines(const std::string& strFile, const ProfileValues& values) {
    std::vector<std::string> lines = {
        "Encoder.PrepareToEncode(false)",
        "Encoder.SourceGroupCollection",
        "Collection.Active",
        "Group.SourceCount(audio)",
        "Group.SourceCount(video)",
        "Group.RemoveSource(video, i2:0)",
        "Group.RemoveSource(audio, i2:0)",
    };
    Append(&lines, kNewSources);
    Append(&lines, ProfileLines(values));
    Append(&lines, {
                       "Encoder.File",
                       "File.LocalFileName = " + strFile,
                       "Encoder.PrepareToEncode(true)",
                       "Encoder.Start()",
                   });
    return lines;
}

namespace {

const std::vector<std::string> kStopLines = {"Encoder.PrepareToEncode(false)", "Encoder.Stop()"};

const DVWCHAR kFile[] = {'f', '.', 'w', 'm', 'v', 0};

// Which fields a mask applies, seen in the engine calls of a first start.
struct MaskCase {
    uint32_t dwMask;
    std::string strFile;
    ProfileValues values;
};

class MaskTest : public CaptureTest, public testing::WithParamInterface<MaskCase> {};

TEST_P(MaskTest, AppliesExactlyTheSelectedFields) {
    CAPTURE_PARAMS params = {GetParam().dwMask, kFile, 7, 11, 9, 13, 17};
    CWMEncDeskVid instance;
    EXPECT_EQ(instance.Control(CAPCMD_START, &params), S_OK);
    EXPECT_EQ(Take(), FirstStartLines(GetParam().strFile, GetParam().values));
    EXPECT_EQ(instance.Control(CAPCMD_STOP, nullptr), S_OK);
}

ProfileValues With(long lBitrate, long lFps, long lSharpness, long lWidth, long lHeight) {
    ProfileValues values;
    values.lBitrate = lBitrate;
    values.lFps = lFps;
    values.lSharpness = lSharpness;
    values.lWidth = lWidth;
    values.lHeight = lHeight;
    return values;
}

INSTANTIATE_TEST_SUITE_P(
    Bits, MaskTest,
    testing::Values(MaskCase{0x00, "\"\"", ProfileValues()},
                    MaskCase{CAPF_FILE, "\"f.wmv\"", ProfileValues()},
                    MaskCase{CAPF_SHARPNESS, "\"\"", With(468000, 20000, 7, 0, 0)},
                    // 0x04 is the frame rate, 0x08 the bit rate: not field order.
                    MaskCase{0x04, "\"\"", With(468000, 9000, 100, 0, 0)},
                    MaskCase{0x08, "\"\"", With(11000, 20000, 100, 0, 0)},
                    MaskCase{CAPF_SIZE, "\"\"", With(468000, 20000, 100, 13, 17)},
                    MaskCase{0xFFFFFFE0u, "\"\"", ProfileValues()},
                    MaskCase{0xFFFFFFFFu, "\"f.wmv\"", With(11000, 9000, 7, 13, 17)}));

// Bit rate and frame rate times 1000, wrapping in 32 bits.
struct WrapCase {
    int32_t nBitrateKbps;
    int32_t nFps;
    uint8_t bySharpness;
    long lBitrate;
    long lFps;
};

class WrapTest : public CaptureTest, public testing::WithParamInterface<WrapCase> {};

TEST_P(WrapTest, ReachesTheEngineWrappedIn32Bits) {
    const WrapCase& c = GetParam();
    CAPTURE_PARAMS params = {CAPF_BITRATE | CAPF_FPS | CAPF_SHARPNESS,
                             nullptr,
                             c.bySharpness,
                             c.nBitrateKbps,
                             c.nFps,
                             0,
                             0};
    CWMEncDeskVid instance;
    EXPECT_EQ(instance.Control(CAPCMD_START, &params), S_OK);
    EXPECT_EQ(Take(), FirstStartLines("\"\"", With(c.lBitrate, c.lFps, c.bySharpness, 0, 0)));
}

INSTANTIATE_TEST_SUITE_P(Values, WrapTest,
                         testing::Values(WrapCase{4294968, 20, 200, 704, 20000},
                                         WrapCase{2147484, -1, 255, -2147483296L, -1000},
                                         WrapCase{INT32_MIN, INT32_MAX, 0, 0, -1000},
                                         WrapCase{-468, 0, 100, -468000, 0}));

TEST_F(CaptureTest, FilePointerIsKeptAndItsTextReadAtEveryStart) {
    DVWCHAR szName[] = {'o', 'n', 'e', 0};
    CAPTURE_PARAMS params = {CAPF_FILE, szName, 0, 0, 0, 0, 0};
    CWMEncDeskVid instance;
    ASSERT_EQ(instance.Control(CAPCMD_START, &params), S_OK);
    EXPECT_EQ(Take(), FirstStartLines("\"one\""));

    // The host changes its text; a start that selects nothing reads it anew.
    szName[0] = 't';
    szName[1] = 'w';
    szName[2] = 'o';
    CAPTURE_PARAMS nothing = {0, nullptr, 0, 0, 0, 0, 0};
    ASSERT_EQ(instance.Control(CAPCMD_START, &nothing), S_OK);
    EXPECT_EQ(Take(), ReconfigureLines("\"two\""));
    ASSERT_EQ(instance.Control(CAPCMD_STOP, nullptr), S_OK);
    Take();

    szName[2] = 'x';
    ASSERT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
    EXPECT_EQ(Take(), FirstStartLines("\"twx\""));
}

// A refused change to a recording leaves the settings it records with: the
// next resume asks for those again, and the refused name's text (gone by
// then) is never read.
TEST_F(CaptureTest, RefusedChangeKeepsTheSettingsInUse) {
    const DVWCHAR szFirst[] = {'a', 0};
    CAPTURE_PARAMS params = {CAPF_FILE | CAPF_BITRATE, szFirst, 0, 300, 0, 0, 0};
    CWMEncDeskVid instance;
    ASSERT_EQ(instance.Control(CAPCMD_START, &params), S_OK);
    ResetEngine();
    const ProfileValues values = With(300000, 20000, 100, 0, 0);
    {
        auto pszRefused = std::make_unique<DVWCHAR[]>(2);
        pszRefused[0] = 'b';
        CAPTURE_PARAMS change = {CAPF_FILE | CAPF_FPS, pszRefused.get(), 0, 0, 5, 0, 0};
        scripted::FailNth("Encoder.PrepareToEncode", 2, DV_E_SETTINGS_CHANGED);
        EXPECT_EQ(instance.Control(CAPCMD_START, &change), DV_E_SETTINGS_CHANGED);
        std::vector<std::string> expected =
            ReconfigureLines("\"b\"", With(300000, 5000, 100, 0, 0));
        expected.pop_back();
        EXPECT_EQ(Take(), expected);
    }
    EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
    EXPECT_EQ(Take(), ReconfigureLines("\"a\"", values));
}

// An idle instance keeps what it was given, so a retry with nothing selected
// asks for the same again.
TEST_F(CaptureTest, FailedFirstStartKeepsTheSettingsGiven) {
    const DVWCHAR szName[] = {'n', 0};
    CAPTURE_PARAMS params = {CAPF_FILE | CAPF_BITRATE, szName, 0, 300, 0, 0, 0};
    const ProfileValues values = With(300000, 20000, 100, 0, 0);
    scripted::FailNth("Encoder.PrepareToEncode", 1, DV_E_FILE_OPEN);
    CWMEncDeskVid instance;
    EXPECT_EQ(instance.Control(CAPCMD_START, &params), DV_E_FILE_OPEN);
    std::vector<std::string> expected = FirstStartLines("\"n\"", values);
    expected.pop_back();
    EXPECT_EQ(Take(), expected);
    EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
    EXPECT_EQ(Take(), FirstStartLines("\"n\"", values));
}

TEST_F(CaptureTest, StartWithoutEngineLeavesTheInstanceIdle) {
    scripted::Unregister();
    CWMEncDeskVid instance;
    EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(instance.Control(CAPCMD_PAUSE, nullptr), E_FAIL);
    scripted::Register();
    EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
    EXPECT_EQ(Take(), FirstStartLines());
}

TEST_F(CaptureTest, IdleInstanceHoldsNoEncoderAfterAFailedStart) {
    scripted::FailNth("Encoder.Start", 1, E_OUTOFMEMORY);
    CWMEncDeskVid instance;
    EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), E_OUTOFMEMORY);
    EXPECT_EQ(scripted::LiveObjects(), 0);
    EXPECT_EQ(Take(), FirstStartLines());
}

TEST_F(CaptureTest, ExceptionsFromTheEngineDoNotEscape) {
    auto pInstance = std::make_unique<CWMEncDeskVid>();
    ASSERT_EQ(pInstance->Control(CAPCMD_START, nullptr), S_OK);
    scripted::SetStopHook([] { throw std::runtime_error("engine fault"); });
    EXPECT_EQ(pInstance->Control(CAPCMD_STOP, nullptr), E_UNEXPECTED);
    // Destruction still stops and releases the encoder, swallowing the throw.
    pInstance.reset();
    EXPECT_EQ(scripted::LiveObjects(), 0);
}

TEST_F(CaptureTest, StopHookRunsInsideStop) {
    CWMEncDeskVid instance;
    ASSERT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
    Take();
    int nCalls = 0;
    scripted::SetStopHook([&] {
        ++nCalls;
        EXPECT_EQ(scripted::Journal().back(), "Encoder.Stop()");
    });
    EXPECT_EQ(instance.Control(CAPCMD_STOP, nullptr), S_OK);
    EXPECT_EQ(nCalls, 1);
    EXPECT_EQ(Take(), kStopLines);
}

}  // namespace
