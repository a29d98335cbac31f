// The benchmark's measuring host. Two modes, each printing key=value lines:
//
//   deskvid_bench_record record FILE SECONDS FPS BITRATE_KBPS
//     Loads libdeskvid.so as a host does, records the whole screen into FILE
//     for SECONDS seconds at FPS frames/s and BITRATE_KBPS kbit/s, and prints
//     how long loading the library and the start and stop commands took,
//     this process's CPU time and its peak resident memory. (The engine writes the number of
//     frames it dropped into the file; bench/run reads it from there.)
//
//   deskvid_bench_record exec COMMAND [ARGS...]
//     Runs COMMAND as a child and prints the child's CPU time and peak
//     resident memory, measured the same way, for the reference recording.
//
// bench/run drives both on the same screen and prints the comparison.
#include <deskvid/deskvid.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/hostlib/ChildProcess.h"
#include "tools/hostlib/HostLibrary.h"

namespace {

using Clock = std::chrono::steady_clock;

// The reference recording runs for seconds; a child still running after this
// long is stuck and is killed.
constexpr double kExecTimeoutSeconds = 3600;

size_t ArgCount(char** argv) {
    size_t n = 0;
    while (argv[n] != nullptr) {
        ++n;
    }
    return n;
}

double Ms(Clock::time_point tFrom, Clock::time_point tTo) {
    return std::chrono::duration<double, std::milli>(tTo - tFrom).count();
}

double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void PrintUsage(const rusage& usage) {
    std::printf("cpu_s=%.3f\n", CpuSeconds(usage));
    std::printf("peak_rss_kb=%ld\n", usage.ru_maxrss);
}

int Record(const char* pszFile, double dSeconds, int nFps, int nBitrateKbps) {
    // The benchmark's file names are plain ASCII.
    const std::string strFile = pszFile;
    const std::u16string wstrFile(strFile.begin(), strFile.end());

    rusage usageBefore = {};
    getrusage(RUSAGE_SELF, &usageBefore);
    const Clock::time_point tLoadBefore = Clock::now();
    hostlib::CDeskVidLibrary library;
    std::string strError;
    const bool bLoaded = library.Load(DESKVID_LIBRARY, &strError);
    const Clock::time_point tLoadAfter = Clock::now();
    rusage usageLoaded = {};
    getrusage(RUSAGE_SELF, &usageLoaded);
    if (!bLoaded) {
        std::fprintf(stderr, "%s\n", strError.c_str());
        return 2;
    }
    void* lpInstance = library.m_pfnCreateInstance(DESKVID_INTERFACE_NAME);
    if (lpInstance == nullptr) {
        std::fprintf(stderr, "cannot create an instance\n");
        return 2;
    }
    auto* pCapture = static_cast<IWMEncDeskVid*>(lpInstance);

    CAPTURE_PARAMS params = {};
    params.dwMask = CAPF_FILE | CAPF_FPS | CAPF_BITRATE;
    params.lpwszFile = wstrFile.c_str();
    params.nFps = nFps;
    params.nBitrateKbps = nBitrateKbps;
    const Clock::time_point tStartBefore = Clock::now();
    const int32_t hrStart = pCapture->Control(CAPCMD_START, &params);
    const Clock::time_point tStartAfter = Clock::now();
    int32_t hrStop = 0;
    Clock::time_point tStopBefore = tStartAfter, tStopAfter = tStartAfter;
    if (hrStart >= 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(dSeconds));
        tStopBefore = Clock::now();
        hrStop = pCapture->Control(CAPCMD_STOP, nullptr);
        tStopAfter = Clock::now();
    }
    library.m_pfnDestroyInstance(lpInstance);
    library.Unload();

    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("start_status=0x%08x\n", static_cast<unsigned>(hrStart));
    std::printf("stop_status=0x%08x\n", static_cast<unsigned>(hrStop));
    std::printf("load_ms=%.1f\n", Ms(tLoadBefore, tLoadAfter));
    std::printf("load_cpu_ms=%.1f\n", 1000 * (CpuSeconds(usageLoaded) - CpuSeconds(usageBefore)));
    std::printf("start_ms=%.1f\n", Ms(tStartBefore, tStartAfter));
    std::printf("stop_ms=%.1f\n", Ms(tStopBefore, tStopAfter));
    std::printf("recorded_s=%.3f\n", Ms(tStartAfter, tStopBefore) / 1000);
    PrintUsage(usage);
    return hrStart >= 0 && hrStop >= 0 ? 0 : 1;
}

int Exec(char** argv) {
    hostlib::CChildProcess child;
    if (!child.Start(std::vector<std::string>(argv, argv + ArgCount(argv)), {}, false)) {
        std::fprintf(stderr, "cannot run %s\n", argv[0]);
        return 2;
    }
    const int nExit = child.Wait(kExecTimeoutSeconds);
    if (nExit < 0) {
        return 2;
    }
    std::printf("exit=%d\n", nExit);
    PrintUsage(child.Usage());
    return nExit;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "record") == 0) {
        return Record(argv[2], std::atof(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    }
    if (argc >= 3 && std::strcmp(argv[1], "exec") == 0) {
        return Exec(argv + 2);
    }
    std::fprintf(stderr,
                 "usage: %s record FILE SECONDS FPS BITRATE_KBPS\n"
                 "       %s exec COMMAND [ARGS...]\n",
                 argv[0], argv[0]);
    return 2;
}
