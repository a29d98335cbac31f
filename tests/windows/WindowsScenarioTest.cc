// Plays every expected journal against deskvid.dll over the stand-in encoder
// server, in a Wine prefix where the stand-in is registered under the
// encoder and profile class ids. The library creates the stand-in's objects
// through the system's CoCreateInstance and calls them through IDispatch by
// name; the stand-in's journal must equal the same files that the scripted
// engine is held to. All scenarios run in one process: Wine's start-up costs
// seconds.
//
// windows_scenario_test [gtest flags] DESKVID-DLL STANDIN-DLL
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "tests/engine/Scenario.h"
#include "tests/windows/StandinServer.h"

namespace {

std::string g_strDeskvidDll;
std::string g_strStandinDll;
// Read when the scenarios are listed, before main runs.
const std::string g_strJournalsDir = DESKVID_JOURNALS_DIR;

// A path given the Unix way is on drive Z: under Wine.
std::string WindowsPath(const std::string& path) {
    std::string windows = (!path.empty() && path[0] == '/' ? "Z:" : "") + path;
    std::replace(windows.begin(), windows.end(), '/', '\\');
    return windows;
}

std::vector<std::string> JournalFiles() {
    std::vector<std::string> files;
    WIN32_FIND_DATAA data;
    const std::string dir = WindowsPath(g_strJournalsDir);
    HANDLE hFind = FindFirstFileA((dir + "\\*.txt").c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE) {
        return files;
    }
    do {
        files.push_back(data.cFileName);
    } while (FindNextFileA(hFind, &data));
    FindClose(hFind);
    std::sort(files.begin(), files.end());
    return files;
}

template <class PFN>
PFN Resolve(HMODULE hModule, const char* pszName) {
    return reinterpret_cast<PFN>(reinterpret_cast<void*>(GetProcAddress(hModule, pszName)));
}

// The library and the stand-in, loaded once for the whole run.
struct Modules {
    HMODULE hDeskvid = nullptr;
    HMODULE hStandin = nullptr;
    PFN_qmCreateInstance pfnCreateInstance = nullptr;
    PFN_qmDestroyInstance pfnDestroyInstance = nullptr;
    PFN_StandinReset pfnReset = nullptr;
    PFN_StandinSetModes pfnSetModes = nullptr;
    PFN_StandinTakeJournal pfnTakeJournal = nullptr;
    PFN_StandinFailNth pfnFailNth = nullptr;
    PFN_StandinLiveObjects pfnLiveObjects = nullptr;

    bool Complete() const {
        return pfnCreateInstance != nullptr && pfnDestroyInstance != nullptr &&
               pfnReset != nullptr && pfnSetModes != nullptr && pfnTakeJournal != nullptr &&
               pfnFailNth != nullptr && pfnLiveObjects != nullptr;
    }
};

Modules g_modules;

// One instance of deskvid.dll with the stand-in server under it.
class CDllTarget : public IScenarioTarget {
public:
    explicit CDllTarget(const Modules& modules) : m_modules(modules) {}
    ~CDllTarget() override {
        if (m_pInstance != nullptr) {
            Destroy();
        }
    }

    void Create() override {
        m_pInstance =
            static_cast<IWMEncDeskVid*>(m_modules.pfnCreateInstance(DESKVID_INTERFACE_NAME));
    }
    void Destroy() override {
        m_modules.pfnDestroyInstance(m_pInstance);
        m_pInstance = nullptr;
    }
    int32_t Control(int nCommand, const CAPTURE_PARAMS* p) override {
        return m_pInstance != nullptr ? m_pInstance->Control(nCommand, p) : E_POINTER;
    }
    std::vector<std::string> TakeJournal() override {
        std::vector<std::string> lines;
        std::string line;
        for (const char* p = m_modules.pfnTakeJournal(); *p != 0; ++p) {
            if (*p == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line += *p;
            }
        }
        return lines;
    }
    void FailNth(const std::string& op, int n, int32_t hr) override {
        m_modules.pfnFailNth(op.c_str(), n, hr);
    }
    int LiveObjects() override { return static_cast<int>(m_modules.pfnLiveObjects()); }

private:
    const Modules& m_modules;
    IWMEncDeskVid* m_pInstance = nullptr;
};

// A scenario file, and how the stand-in answers (StandinServer.h): failures
// through the exception record (as automation objects do) or as Invoke's own
// status, the other dispatch kind of two members, success without an object.
typedef std::tuple<std::string, unsigned> ScenarioParam;

std::string ModeName(unsigned dwModes) {
    switch (dwModes) {
        case 0:
            return "exception";
        case STANDIN_DIRECT:
            return "direct";
        case STANDIN_STRICT:
            return "strict";
        case STANDIN_EMPTY:
            return "empty";
        default:
            return std::to_string(dwModes);
    }
}

class WindowsScenario : public testing::TestWithParam<ScenarioParam> {
protected:
    static void SetUpTestSuite() {
        // The host's duty: COM is initialised on the thread that commands.
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    }
    static void TearDownTestSuite() { CoUninitialize(); }
};

TEST_P(WindowsScenario, JournalMatches) {
    ASSERT_TRUE(g_modules.Complete());
    const std::string& file = std::get<0>(GetParam());
    g_modules.pfnReset();
    g_modules.pfnSetModes(std::get<1>(GetParam()));
    CDllTarget target(g_modules);
    std::string diff;
    EXPECT_TRUE(RunScenario(WindowsPath(g_strJournalsDir) + "\\" + file, target, &diff)) << diff;
    g_modules.pfnReset();
}

INSTANTIATE_TEST_SUITE_P(Journals, WindowsScenario,
                         testing::Combine(testing::ValuesIn(JournalFiles()),
                                          testing::Values(0u, unsigned{STANDIN_DIRECT},
                                                          unsigned{STANDIN_STRICT},
                                                          unsigned{STANDIN_EMPTY})),
                         [](const testing::TestParamInfo<ScenarioParam>& info) {
                             const std::string& file = std::get<0>(info.param);
                             std::string name = file.substr(0, file.rfind('.'));
                             for (char& c : name) {
                                 if (!isalnum(static_cast<unsigned char>(c))) {
                                     c = '_';
                                 }
                             }
                             return name + "_" + ModeName(std::get<1>(info.param));
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(WindowsScenario);

TEST(WindowsScenarioFiles, ArePresent) {
    EXPECT_FALSE(JournalFiles().empty()) << "no *.txt in " << g_strJournalsDir;
}

TEST(WindowsModules, AreLoaded) {
    EXPECT_NE(g_modules.hDeskvid, nullptr) << g_strDeskvidDll;
    EXPECT_NE(g_modules.hStandin, nullptr) << g_strStandinDll;
    EXPECT_TRUE(g_modules.Complete());
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        fprintf(stderr, "usage: windows_scenario_test DESKVID-DLL STANDIN-DLL\n");
        return 2;
    }
    g_strDeskvidDll = WindowsPath(argv[1]);
    g_strStandinDll = WindowsPath(argv[2]);
    // The stand-in is loaded under the path it is registered with, so that
    // COM's load of it finds this same module.
    g_modules.hStandin = LoadLibraryA(g_strStandinDll.c_str());
    g_modules.hDeskvid = LoadLibraryA(g_strDeskvidDll.c_str());
    if (g_modules.hStandin != nullptr) {
        g_modules.pfnReset = Resolve<PFN_StandinReset>(g_modules.hStandin, "StandinReset");
        g_modules.pfnSetModes = Resolve<PFN_StandinSetModes>(g_modules.hStandin, "StandinSetModes");
        g_modules.pfnTakeJournal =
            Resolve<PFN_StandinTakeJournal>(g_modules.hStandin, "StandinTakeJournal");
        g_modules.pfnFailNth = Resolve<PFN_StandinFailNth>(g_modules.hStandin, "StandinFailNth");
        g_modules.pfnLiveObjects =
            Resolve<PFN_StandinLiveObjects>(g_modules.hStandin, "StandinLiveObjects");
    }
    if (g_modules.hDeskvid != nullptr) {
        g_modules.pfnCreateInstance =
            Resolve<PFN_qmCreateInstance>(g_modules.hDeskvid, "qmCreateInstance");
        g_modules.pfnDestroyInstance =
            Resolve<PFN_qmDestroyInstance>(g_modules.hDeskvid, "qmDestroyInstance");
    }
    int nResult = RUN_ALL_TESTS();
    if (g_modules.hDeskvid != nullptr) {
        FreeLibrary(g_modules.hDeskvid);
    }
    return nResult;
}
