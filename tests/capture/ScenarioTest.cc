// Plays every expected journal in the journals directory against the
// controller over the scripted engine.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "tests/capture/CaptureTest.h"
#include "tests/engine/ScriptedTarget.h"

namespace {

// The files found where the build put them; the directory given on the
// command line, if any, is where they are read at run time.
std::vector<std::string> JournalFiles() {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(DESKVID_JOURNALS_DIR, error)) {
        if (entry.path().extension() == ".txt") {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string TestName(const testing::TestParamInfo<std::string>& info) {
    std::string name = info.param.substr(0, info.param.size() - 4);
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
    return name;
}

class ScenarioFileTest : public testing::TestWithParam<std::string> {};

TEST_P(ScenarioFileTest, JournalMatches) {
    CScriptedTarget target;
    std::string diff;
    EXPECT_TRUE(RunScenario(g_strJournalsDir + "/" + GetParam(), target, &diff)) << diff;
    scripted::Reset();
}

INSTANTIATE_TEST_SUITE_P(Journals, ScenarioFileTest, testing::ValuesIn(JournalFiles()), TestName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ScenarioFileTest);

TEST(ScenarioTest, JournalsArePresent) {
    EXPECT_GE(JournalFiles().size(), 10u);
}

// The runner itself must notice a wrong call, a wrong status, a missing
// destroy and leaked objects, or a passing scenario proves nothing.
TEST(ScenarioTest, RunnerReportsDifferences) {
    const char* const kBad[] = {
        "> create\n> pause\n= 0x00000000\n> destroy\n",
        "> create\n> pause\nEncoder.Pause()\n= 0x80004005\n> destroy\n",
        "> create\n> command 7\n= 0x80004005\n",
        "> create\n> start bitrate=1\n= 0x00000000\n> destroy\n",
        "> create\n> start colour=1\n= 0x00000000\n> destroy\n",
    };
    for (const char* text : kBad) {
        CScriptedTarget target;
        std::string diff;
        EXPECT_FALSE(RunScenarioText("bad", text, target, &diff)) << text;
        EXPECT_FALSE(diff.empty());
        EXPECT_EQ(scripted::LiveObjects(), 0) << text;
    }
    CScriptedTarget target;
    std::string diff;
    EXPECT_TRUE(
        RunScenarioText("good", "> create\n> pause\n= 0x80004005\n> destroy\n", target, &diff))
        << diff;
    scripted::Reset();
}

}  // namespace
