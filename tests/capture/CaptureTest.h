// Shared by the controller tests: a fixture over the scripted engine and the
// hand-written engine sequences of a first start and of a reconfiguration.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/WMEncDeskVid.h"
#include "tests/engine/ScriptedEngine.h"

extern std::string g_strJournalsDir;

// Every test starts with a registered, empty engine and ends with no engine
// object alive.
class CaptureTest : public testing::Test {
protected:
    void SetUp() override {
        scripted::Register();
        scripted::Reset();
        ASSERT_EQ(scripted::LiveObjects(), 0);
    }
    void TearDown() override {
        scripted::Reset();
        EXPECT_EQ(scripted::LiveObjects(), 0);
    }

    // The journal since the last call.
    std::vector<std::string> Take() {
        std::vector<std::string> journal = scripted::Journal();
        std::vector<std::string> taken(journal.begin() + static_cast<std::ptrdiff_t>(m_nTaken),
                                       journal.end());
        m_nTaken = journal.size();
        return taken;
    }
    void ResetEngine() {
        scripted::Reset();
        m_nTaken = 0;
    }

    size_t m_nTaken = 0;
};

// Engine settings as they appear in the journal.
struct ProfileValues {
    long lBitrate = 468000;
    long lHeight = 0;
    long lWidth = 0;
    long lFps = 20000;
    long lSharpness = 100;
};

std::vector<std::string> ProfileLines(const ProfileValues& values);
std::vector<std::string> FirstStartLines(const std::string& strFile = "\"\"",
                                         const ProfileValues& values = ProfileValues());
// A reconfiguration of a group holding one source of each type.
std::vector<std::string> ReconfigureLines(const std::string& strFile = "\"\"",
                                          const ProfileValues& values = ProfileValues());
