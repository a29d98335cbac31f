// deskvid-record run as a user runs it, for what needs no recording: help,
// refused command lines, a library that cannot be used.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/common/HostTest.h"

namespace clitest {

using namespace testproc;
namespace {

SRunResult RunRecord(std::vector<std::string> rgstrArgs) {
    rgstrArgs.insert(rgstrArgs.begin(), DESKVID_RECORD);
    return RunToEnd(rgstrArgs);
}

TEST(CommandLineTest, HelpPrintsTheManualAndSucceeds) {
    const SRunResult result = RunRecord({"--help"});
    EXPECT_EQ(result.nExit, 0);
    EXPECT_EQ(result.strOut.rfind("NAME\n    deskvid-record - ", 0), 0u) << result.strOut;
    EXPECT_NE(result.strOut.find("SYNOPSIS"), std::string::npos);
    EXPECT_TRUE(result.strErr.empty()) << result.strErr;
}

class RefusedLineTest : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(RefusedLineTest, ExitsTwoBeforeAnythingStarts) {
    CTempDir dir;
    std::vector<std::string> rgstrArgs = {"-o", dir.File("never.wmv")};
    rgstrArgs.insert(rgstrArgs.end(), GetParam().begin(), GetParam().end());
    const SRunResult result = RunRecord(rgstrArgs);
    EXPECT_EQ(result.nExit, 2);
    EXPECT_EQ(result.strErr.rfind("deskvid-record: ", 0), 0u) << result.strErr;
    EXPECT_NE(result.strErr.find("\nTry 'deskvid-record --help'.\n"), std::string::npos)
        << result.strErr;
    EXPECT_TRUE(result.strOut.empty()) << result.strOut;
    EXPECT_FALSE(FileExists(dir.File("never.wmv")));
}

INSTANTIATE_TEST_SUITE_P(Lines, RefusedLineTest,
                         testing::Values(std::vector<std::string>{"--unknown"},
                                         std::vector<std::string>{"--size", "0x"},
                                         std::vector<std::string>{"--fps", "-1"},
                                         std::vector<std::string>{"--sharpness", "101"},
                                         std::vector<std::string>{"--bitrate"},
                                         std::vector<std::string>{"--fps", "12abc"},
                                         std::vector<std::string>{"--bitrate", "4294967296000"}));

TEST(CommandLineTest, ReportsALibraryThatCannotBeUsed) {
    CTempDir dir;
    struct SCase {
        std::string strLibrary;
        const char* pszExpected;
    };
    const SCase rgCase[] = {
        {dir.File("missing/libdeskvid.so"), "cannot load the plug-in library"},
        // Not a shared object at all.
        {DESKVID_RECORD, "cannot load the plug-in library"},
        // A real library without the exports.
        {"libm.so.6", "has no export qmInitialize"},
    };
    for (const SCase& c : rgCase) {
        const SRunResult result =
            RunRecord({"--library", c.strLibrary, "-o", dir.File("x.wmv"), "--duration", "1"});
        EXPECT_EQ(result.nExit, 1) << c.strLibrary;
        EXPECT_NE(result.strErr.find(c.pszExpected), std::string::npos)
            << c.strLibrary << ": " << result.strErr;
        EXPECT_FALSE(FileExists(dir.File("x.wmv")));
    }
}

// As media tools do: an existing output is refused unless -y says to replace
// it, before anything is started, and it is left as it was.
TEST(CommandLineTest, RefusesAnExistingOutputUnlessToldToReplaceIt) {
    CTempDir dir;
    const std::string strFile = dir.File("taken.wmv");
    std::ofstream(strFile) << "precious";
    for (const std::string& strOutput : {strFile, dir.Path()}) {
        const SRunResult result = RunRecord({"-o", strOutput, "--duration", "1"});
        EXPECT_EQ(result.nExit, 2) << result.strErr;
        EXPECT_NE(result.strErr.find("deskvid-record: " + strOutput + " exists; give -y"),
                  std::string::npos)
            << result.strErr;
    }
    std::ifstream file(strFile);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), "precious");
}

}  // namespace
}  // namespace clitest
