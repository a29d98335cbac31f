#include <gtest/gtest.h>

#include <string>

#include "tests/capture/CaptureTest.h"

std::string g_strJournalsDir = DESKVID_JOURNALS_DIR;

// capture_tests [gtest flags] [journals directory]
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc > 1) {
        g_strJournalsDir = argv[1];
    }
    return RUN_ALL_TESTS();
}
