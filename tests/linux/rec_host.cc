// A minimal recording host for the tests that need a process of their own.
//
//   deskvid_rechost FILE SECONDS [--ffmpeg-host] [--file-size-limit=BYTES]
//                   [--start-size-limit=BYTES] [--memory-headroom=BYTES]
//                   [--chdir=DIR]
//
// Loads libdeskvid.so as any host does, starts one instance recording FILE
// with the default settings and prints the status of each command, one per
// line ("start 0x00000000"). When the start succeeds it records SECONDS
// seconds and stops; a negative SECONDS records until the process is killed.
// When the start fails it also prints what pause and stop answer, so that a
// test can see the instance was left idle.
//
// With --ffmpeg-host it behaves as a host that uses FFmpeg itself: it logs
// one line of its own through FFmpeg while the library is loaded and one
// after unloading it; both must reach its standard error. With
// --file-size-limit no file of the process may grow past BYTES once the start
// has returned, as `ulimit -f` does (SIGXFSZ keeps its default: it would end
// the process); --start-size-limit sets that limit right before the start
// instead. With --memory-headroom the process may map only BYTES more once
// the start has returned, as `ulimit -v` does. --chdir: FILE is taken
// relative to DIR.
#include "tests/linux/HostLibrary.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "port/Utf.h"

namespace {

// Only the soft limit, so that a later limit may be larger again.
bool Limit(int nResource, unsigned long long nLimit) {
    rlimit limit = {};
    if (getrlimit(nResource, &limit) != 0) {
        return false;
    }
    limit.rlim_cur = nLimit;
    return setrlimit(nResource, &limit) == 0;
}

bool LimitFileSize(unsigned long long cbLimit) {
    return Limit(RLIMIT_FSIZE, cbLimit);
}

// The address space this process has mapped, from /proc.
unsigned long long MappedBytes() {
    unsigned long long nPages = 0;
    std::ifstream("/proc/self/statm") >> nPages;
    return nPages * static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
}

bool HasPrefix(const char* psz, const char* pszPrefix, const char** ppszRest) {
    const size_t n = std::strlen(pszPrefix);
    *ppszRest = psz + n;
    return std::strncmp(psz, pszPrefix, n) == 0;
}

void Report(const char* pszCommand, int32_t hr) {
    std::printf("%s 0x%08x\n", pszCommand, static_cast<unsigned>(hr));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool fFfmpegHost = false;
    unsigned long long cbFileSizeLimit = 0;
    unsigned long long cbStartSizeLimit = 0;
    bool fStartSizeLimit = false;
    unsigned long long cbMemoryHeadroom = 0;
    bool fUsage = argc < 3;
    for (int i = 3; i < argc; ++i) {
        const char* pszValue = nullptr;
        if (std::strcmp(argv[i], "--ffmpeg-host") == 0) {
            fFfmpegHost = true;
        } else if (HasPrefix(argv[i], "--file-size-limit=", &pszValue)) {
            cbFileSizeLimit = std::strtoull(pszValue, nullptr, 10);
        } else if (HasPrefix(argv[i], "--start-size-limit=", &pszValue)) {
            cbStartSizeLimit = std::strtoull(pszValue, nullptr, 10);
            fStartSizeLimit = true;
        } else if (HasPrefix(argv[i], "--memory-headroom=", &pszValue)) {
            cbMemoryHeadroom = std::strtoull(pszValue, nullptr, 10);
        } else if (HasPrefix(argv[i], "--chdir=", &pszValue)) {
            fUsage = fUsage || chdir(pszValue) != 0;
        } else {
            fUsage = true;
        }
    }
    if (fUsage) {
        std::fprintf(stderr,
                     "usage: %s FILE SECONDS [--ffmpeg-host] [--file-size-limit=BYTES] "
                     "[--start-size-limit=BYTES] [--memory-headroom=BYTES] [--chdir=DIR]\n",
                     argv[0]);
        return 2;
    }
    const std::u16string wstrFile = port::Utf8ToUtf16(argv[1]);
    const double dSeconds = std::atof(argv[2]);

    CHostLibrary lib;
    if (!lib.Load()) {
        std::fprintf(stderr, "cannot load %s\n", DESKVID_LIBRARY);
        return 2;
    }
    void* lpInstance = lib.m_pfnCreateInstance(DESKVID_INTERFACE_NAME);
    if (lpInstance == nullptr) {
        std::fprintf(stderr, "qmCreateInstance failed\n");
        return 2;
    }
    auto* pCapture = static_cast<IWMEncDeskVid*>(lpInstance);

    CAPTURE_PARAMS params = {};
    params.dwMask = CAPF_FILE;
    params.lpwszFile = wstrFile.c_str();
    if (fStartSizeLimit && !LimitFileSize(cbStartSizeLimit)) {
        std::fprintf(stderr, "setrlimit failed\n");
    }
    const int32_t hrStart = pCapture->Control(CAPCMD_START, &params);
    Report("start", hrStart);
    if (hrStart >= 0 && cbFileSizeLimit != 0 && !LimitFileSize(cbFileSizeLimit)) {
        std::fprintf(stderr, "setrlimit failed\n");
    }
    if (hrStart >= 0 && cbMemoryHeadroom != 0 &&
        !Limit(RLIMIT_AS, MappedBytes() + cbMemoryHeadroom)) {
        std::fprintf(stderr, "setrlimit failed\n");
    }
    if (hrStart < 0) {
        Report("pause", pCapture->Control(CAPCMD_PAUSE, nullptr));
        Report("stop", pCapture->Control(CAPCMD_STOP, nullptr));
    } else if (dSeconds < 0) {
        for (;;) {
            pause();
        }
    } else {
        std::this_thread::sleep_for(std::chrono::duration<double>(dSeconds));
        if (fFfmpegHost) {
            av_log(nullptr, AV_LOG_ERROR, "host message while recording\n");
        }
        Report("stop", pCapture->Control(CAPCMD_STOP, nullptr));
    }
    lib.m_pfnDestroyInstance(lpInstance);
    lib.Unload();
    if (fFfmpegHost) {
        av_log(nullptr, AV_LOG_ERROR, "host message after unloading\n");
    }
    return 0;
}
