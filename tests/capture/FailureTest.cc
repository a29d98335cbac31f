// Each engine call whose result the controller examines is made to fail in
// turn: the status comes back, nothing after it is called, the instance is
// in the state it must be in, and nothing leaks. Calls whose results are not
// examined must not stop the sequence.
#include <algorithm>
#include <cctype>
#include <map>
#include <memory>

#include "base/Memory.h"
#include "tests/capture/CaptureTest.h"
#include "tests/engine/CallJournal.h"

namespace {

enum Phase { kFirstStart, kReconfigure };

struct Injection {
    Phase phase;
    std::string strOp;
    int n;            // occurrence of strOp within the phase
    size_t nIndex;    // its line in the phase's sequence
    HRESULT hrGiven;  // what the engine answers
    HRESULT hrExpected;
};

std::string NameOf(const testing::TestParamInfo<Injection>& info) {
    std::string name = (info.param.phase == kFirstStart ? "First_" : "Again_") + info.param.strOp +
                       "_" + std::to_string(info.param.n) +
                       (info.param.hrGiven == S_FALSE ? "_SFalse" : "");
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
    return name;
}

bool Examined(const std::string& strOp) {
    return strOp != "Group.SourceCount" && strOp != "Group.RemoveSource" &&
           strOp.compare(0, 12, "DisplayInfo.") != 0;
}

// Calls that hand back an object: answering success without one is a fault
// that must not be followed.
bool GivesObject(const std::string& strOp) {
    static const char* const kOps[] = {"new Encoder",
                                       "Encoder.SourceGroupCollection",
                                       "Collection.Add",
                                       "Collection.Active",
                                       "Group.AddSource",
                                       "VideoSource.QueryInterface",
                                       "new Profile",
                                       "Profile.AddAudience",
                                       "Profile.QueryInterface",
                                       "Encoder.File",
                                       "Encoder.DisplayInfo"};
    return std::find(std::begin(kOps), std::end(kOps), strOp) != std::end(kOps);
}

const std::vector<std::string>& Lines(Phase phase) {
    static const std::vector<std::string> first = FirstStartLines();
    static const std::vector<std::string> again = ReconfigureLines();
    return phase == kFirstStart ? first : again;
}

// Only the sign of a status counts. bStops: the injections that must end the
// sequence (failures of examined steps, and a success that hands back no
// object); otherwise those that must not (any status of an unexamined step,
// S_FALSE from an examined one, which a command passes on when it is last).
std::vector<Injection> Injections(bool bStops) {
    const HRESULT hrFail = static_cast<HRESULT>(0x80070005u);
    std::vector<Injection> injections;
    for (Phase phase : {kFirstStart, kReconfigure}) {
        std::map<std::string, int> counts;
        const std::vector<std::string>& lines = Lines(phase);
        for (size_t i = 0; i < lines.size(); ++i) {
            std::string strOp = OperationOf(lines[i]);
            int n = ++counts[strOp];
            if (!Examined(strOp)) {
                if (!bStops) {
                    injections.push_back({phase, strOp, n, i, hrFail, S_OK});
                }
            } else if (bStops) {
                injections.push_back({phase, strOp, n, i, hrFail, hrFail});
                if (GivesObject(strOp)) {
                    injections.push_back({phase, strOp, n, i, S_FALSE, E_POINTER});
                }
            } else if (!GivesObject(strOp)) {
                const bool bLast = i + 1 == lines.size();
                injections.push_back({phase, strOp, n, i, S_FALSE, bLast ? S_FALSE : S_OK});
            }
        }
    }
    return injections;
}

// A test instance over the scripted engine, ready for the start under test:
// already started when the failure is to hit reconfiguration, with the
// failure injected.
class InjectionTest : public CaptureTest, public testing::WithParamInterface<Injection> {
protected:
    void Arm(CWMEncDeskVid& instance, const Injection& p) {
        if (p.phase == kReconfigure) {
            ASSERT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
            ResetEngine();
        }
        scripted::FailNth(p.strOp, p.n, p.hrGiven);
    }
};

class ExaminedTest : public InjectionTest {};

TEST_P(ExaminedTest, FailureEndsTheSequenceAndLeavesTheRightState) {
    const Injection& p = GetParam();
    CWMEncDeskVid instance;
    ASSERT_NO_FATAL_FAILURE(Arm(instance, p));
    EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), p.hrExpected);
    const std::vector<std::string>& lines = Lines(p.phase);
    std::vector<std::string> expected(lines.begin(),
                                      lines.begin() + static_cast<std::ptrdiff_t>(p.nIndex) + 1);
    EXPECT_EQ(Take(), expected);

    if (p.phase == kFirstStart) {
        // Idle, holding nothing at all.
        EXPECT_EQ(scripted::LiveObjects(), 0);
        EXPECT_EQ(instance.Control(CAPCMD_PAUSE, nullptr), E_FAIL);
        EXPECT_EQ(instance.Control(CAPCMD_STOP, nullptr), E_FAIL);
        EXPECT_TRUE(Take().empty());
    } else {
        // Still started: pause and stop reach the encoder it kept.
        EXPECT_EQ(instance.Control(CAPCMD_PAUSE, nullptr), S_OK);
        EXPECT_EQ(Take(), std::vector<std::string>{"Encoder.Pause()"});
        EXPECT_EQ(instance.Control(CAPCMD_STOP, nullptr), S_OK);
        EXPECT_EQ(Take(),
                  (std::vector<std::string>{"Encoder.PrepareToEncode(false)", "Encoder.Stop()"}));
        EXPECT_EQ(scripted::LiveObjects(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, ExaminedTest, testing::ValuesIn(Injections(true)), NameOf);

class UnexaminedTest : public InjectionTest {};

TEST_P(UnexaminedTest, SequenceGoesOn) {
    const Injection& p = GetParam();
    CWMEncDeskVid instance;
    ASSERT_NO_FATAL_FAILURE(Arm(instance, p));
    EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), p.hrExpected);
    std::vector<std::string> expected = Lines(p.phase);
    // A count that could not be read removes nothing of its type.
    if (p.phase == kReconfigure && p.strOp == "Group.SourceCount" && FAILED(p.hrGiven)) {
        expected.erase(std::find(
            expected.begin(), expected.end(),
            p.n == 1 ? "Group.RemoveSource(audio, i2:0)" : "Group.RemoveSource(video, i2:0)"));
    }
    EXPECT_EQ(Take(), expected);
    // Started, whatever success the last step answered.
    EXPECT_EQ(instance.Control(CAPCMD_PAUSE, nullptr), S_OK);
    EXPECT_EQ(instance.Control(CAPCMD_STOP, nullptr), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Steps, UnexaminedTest, testing::ValuesIn(Injections(false)), NameOf);

// Teardown: PrepareToEncode(false) is not examined, Stop() decides, and the
// encoder is released either way.
struct TeardownCase {
    HRESULT hrUnprepare;
    HRESULT hrStop;
};

class TeardownTest : public CaptureTest, public testing::WithParamInterface<TeardownCase> {};

TEST_P(TeardownTest, StopAnswersTheEngineStopAndReleases) {
    CWMEncDeskVid instance;
    ASSERT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
    ResetEngine();
    if (GetParam().hrUnprepare != S_OK) {
        scripted::FailNth("Encoder.PrepareToEncode", 1, GetParam().hrUnprepare);
    }
    if (GetParam().hrStop != S_OK) {
        scripted::FailNth("Encoder.Stop", 1, GetParam().hrStop);
    }
    EXPECT_EQ(instance.Control(CAPCMD_STOP, nullptr), GetParam().hrStop);
    EXPECT_EQ(Take(),
              (std::vector<std::string>{"Encoder.PrepareToEncode(false)", "Encoder.Stop()"}));
    EXPECT_EQ(scripted::LiveObjects(), 0);
    EXPECT_EQ(instance.Control(CAPCMD_STOP, nullptr), E_FAIL);
    EXPECT_EQ(instance.Control(CAPCMD_PAUSE, nullptr), E_FAIL);
    EXPECT_TRUE(Take().empty());
}

INSTANTIATE_TEST_SUITE_P(Results, TeardownTest,
                         testing::Values(TeardownCase{E_FAIL, S_OK}, TeardownCase{S_OK, E_FAIL},
                                         TeardownCase{E_FAIL, E_OUTOFMEMORY},
                                         TeardownCase{S_OK, S_FALSE}));

TEST_F(CaptureTest, PauseHandsOnTheEngineSuccess) {
    CWMEncDeskVid instance;
    ASSERT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
    ResetEngine();
    scripted::FailNth("Encoder.Pause", 1, S_FALSE);
    EXPECT_EQ(instance.Control(CAPCMD_PAUSE, nullptr), S_FALSE);
    EXPECT_EQ(instance.Control(CAPCMD_PAUSE, nullptr), S_OK);
}

// What a refused reconfiguration leaves in the group: sources added before
// the failure stay, and the profile stays the one attached before.
TEST_F(CaptureTest, RefusedReconfigurationLeavesTheGroupAsTheFailureFoundIt) {
    const HRESULT hrRefused = static_cast<HRESULT>(0x80070005u);
    CWMEncDeskVid instance;
    ASSERT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
    EXPECT_EQ(scripted::AttachedProfile(), 1);
    scripted::FailNth("Profile.Validate", 2, hrRefused);
    EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), hrRefused);
    EXPECT_EQ(scripted::AttachedProfile(), 1);

    scripted::FailNth("Group.AddSource", 6, hrRefused);  // audio, third start
    EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), hrRefused);
    Take();
    // The video source added before the failure is removed, and no audio.
    std::vector<std::string> expected = ReconfigureLines();
    expected.erase(std::find(expected.begin(), expected.end(), "Group.RemoveSource(audio, i2:0)"));
    EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
    EXPECT_EQ(Take(), expected);
    EXPECT_EQ(scripted::AttachedProfile(), 3);
}

// Every text handed to the engine is allocated for its call; one that cannot
// be allocated reaches the engine as null and the sequence goes on.
TEST_F(CaptureTest, TextThatCannotBeAllocatedReachesTheEngineAsNull) {
    const std::vector<std::string> lines = FirstStartLines();
    int nTexts = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const size_t nQuote = lines[i].find('"');
        if (nQuote == std::string::npos) {
            continue;
        }
        std::vector<std::string> expected = lines;
        expected[i].replace(nQuote, lines[i].find('"', nQuote + 1) + 1 - nQuote, "null");
        CWMEncDeskVid instance;
        base::FailNthAllocation(++nTexts);
        EXPECT_EQ(instance.Control(CAPCMD_START, nullptr), S_OK);
        base::FailNthAllocation(0);
        EXPECT_EQ(Take(), expected) << "text " << nTexts;
        EXPECT_EQ(instance.Control(CAPCMD_STOP, nullptr), S_OK);
        Take();
    }
    EXPECT_EQ(nTexts, 12);
}

}  // namespace
