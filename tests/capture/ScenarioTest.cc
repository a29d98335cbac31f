// Plays every expected journal in the journals directory against the
// controller over the scripted engine.
#include <algorithm>
#include <filesystem>

#include "tests/capture/CaptureTest.h"
#include "tests/engine/ScriptedTarget.h"

namespace {

TEST(ScenarioTest, EveryJournalMatches) {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(g_strJournalsDir)) {
        if (entry.path().extension() == ".txt") {
            paths.push_back(entry.path().string());
        }
    }
    std::sort(paths.begin(), paths.end());
    ASSERT_GE(paths.size(), 10u) << "journals in " << g_strJournalsDir;
    for (const std::string& path : paths) {
        CScriptedTarget target;
        std::string diff;
        EXPECT_TRUE(RunScenario(path, target, &diff)) << diff;
    }
    scripted::Reset();
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
