// A minimal recording host for the tests that need a process of their own.
//
//   deskvid_rechost FILE SECONDS
//
// Loads libdeskvid.so as any host does, starts one instance recording FILE
// with the default settings and prints the status of each command, one per
// line ("start 0x00000000"). When the start succeeds it records SECONDS
// seconds and stops; a negative SECONDS records until the process is killed.
// When the start fails it also prints what pause and stop answer, so that a
// test can see the instance was left idle.
#include <deskvid/deskvid.h>

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// File names arrive as UTF-8 and leave as UTF-16.
std::u16string Utf8ToUtf16(const std::string& strUtf8) {
    std::u16string wstr;
    for (size_t i = 0; i < strUtf8.size();) {
        unsigned char c = static_cast<unsigned char>(strUtf8[i]);
        int nExtra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        char32_t ch = nExtra == 0 ? c : c & (0x3F >> nExtra);
        for (int k = 1; k <= nExtra && i + k < strUtf8.size(); ++k) {
            ch = (ch << 6) | (static_cast<unsigned char>(strUtf8[i + k]) & 0x3F);
        }
        i += nExtra + 1;
        if (ch >= 0x10000) {
            ch -= 0x10000;
            wstr += static_cast<char16_t>(0xD800 + (ch >> 10));
            wstr += static_cast<char16_t>(0xDC00 + (ch & 0x3FF));
        } else {
            wstr += static_cast<char16_t>(ch);
        }
    }
    return wstr;
}

void Report(const char* pszCommand, int32_t hr) {
    std::printf("%s 0x%08x\n", pszCommand, static_cast<unsigned>(hr));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE SECONDS\n", argv[0]);
        return 2;
    }
    const std::u16string wstrFile = Utf8ToUtf16(argv[1]);
    const double dSeconds = std::atof(argv[2]);

    void* hLib = dlopen(DESKVID_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (hLib == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }
    auto pfnCreate = reinterpret_cast<PFN_qmCreateInstance>(dlsym(hLib, "qmCreateInstance"));
    auto pfnDestroy = reinterpret_cast<PFN_qmDestroyInstance>(dlsym(hLib, "qmDestroyInstance"));
    if (pfnCreate == nullptr || pfnDestroy == nullptr) {
        std::fprintf(stderr, "dlsym: missing exports\n");
        return 2;
    }
    void* lpInstance = pfnCreate(DESKVID_INTERFACE_NAME);
    if (lpInstance == nullptr) {
        std::fprintf(stderr, "qmCreateInstance failed\n");
        return 2;
    }
    auto* pCapture = static_cast<IWMEncDeskVid*>(lpInstance);

    CAPTURE_PARAMS params = {};
    params.dwMask = CAPF_FILE;
    params.lpwszFile = wstrFile.c_str();
    const int32_t hrStart = pCapture->Control(CAPCMD_START, &params);
    Report("start", hrStart);
    if (hrStart < 0) {
        Report("pause", pCapture->Control(CAPCMD_PAUSE, nullptr));
        Report("stop", pCapture->Control(CAPCMD_STOP, nullptr));
    } else if (dSeconds < 0) {
        for (;;) {
            pause();
        }
    } else {
        std::this_thread::sleep_for(std::chrono::duration<double>(dSeconds));
        Report("stop", pCapture->Control(CAPCMD_STOP, nullptr));
    }
    pfnDestroy(lpInstance);
    dlclose(hLib);
    return 0;
}
