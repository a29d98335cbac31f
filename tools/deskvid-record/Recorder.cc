#include "Recorder.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <deskvid/deskvid.h>
#include <deskvid/deskvid_status.h>

#include "Library.h"
#include "Output.h"
#include "Summary.h"
#include "port/Utf.h"

namespace record {

namespace {

// Set by the signal handlers; the main loop does the work. A pause or resume
// signal asks for a state, not a change, so any number of them leaves the
// state the last one asked for.
enum { kNoRequest, kPauseRequest, kResumeRequest };
volatile sig_atomic_t g_fStopRequested = 0;
volatile sig_atomic_t g_nPauseRequest = kNoRequest;

void OnStopSignal(int) {
    g_fStopRequested = 1;
}
void OnPauseSignal(int) {
    g_nPauseRequest = kPauseRequest;
}
void OnResumeSignal(int) {
    g_nPauseRequest = kResumeRequest;
}

const int g_rgnStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The signals we answer are blocked except while the main loop waits in
// ppoll. So a handler never runs in the middle of a command, and never on the
// engine's threads, which inherit the blocked mask when they are created.
class CSignals {
public:
    CSignals() {
        sigset_t set;
        sigemptyset(&set);
        for (int nSignal : g_rgnStopSignals) {
            sigaddset(&set, nSignal);
        }
        sigaddset(&set, SIGUSR1);
        sigaddset(&set, SIGUSR2);
        pthread_sigmask(SIG_BLOCK, &set, &m_maskSaved);
        m_maskWait = m_maskSaved;
        for (int nSignal : g_rgnStopSignals) {
            sigdelset(&m_maskWait, nSignal);
        }
        sigdelset(&m_maskWait, SIGUSR1);
        sigdelset(&m_maskWait, SIGUSR2);

        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        action.sa_handler = OnStopSignal;
        for (size_t i = 0; i < kStopSignals; ++i) {
            sigaction(g_rgnStopSignals[i], &action, &m_rgSavedStop[i]);
        }
        action.sa_handler = OnPauseSignal;
        sigaction(SIGUSR1, &action, &m_savedPause);
        action.sa_handler = OnResumeSignal;
        sigaction(SIGUSR2, &action, &m_savedResume);
    }

    ~CSignals() {
        // Anything still pending is taken by our handlers first.
        pthread_sigmask(SIG_SETMASK, &m_maskSaved, nullptr);
        for (size_t i = 0; i < kStopSignals; ++i) {
            sigaction(g_rgnStopSignals[i], &m_rgSavedStop[i], nullptr);
        }
        sigaction(SIGUSR1, &m_savedPause, nullptr);
        sigaction(SIGUSR2, &m_savedResume, nullptr);
    }

    CSignals(const CSignals&) = delete;
    CSignals& operator=(const CSignals&) = delete;

    // The mask to wait with: ours unblocked.
    const sigset_t* WaitMask() const { return &m_maskWait; }

private:
    static constexpr size_t kStopSignals = sizeof(g_rgnStopSignals) / sizeof(g_rgnStopSignals[0]);
    sigset_t m_maskSaved;
    sigset_t m_maskWait;
    struct sigaction m_rgSavedStop[kStopSignals];
    struct sigaction m_savedPause;
    struct sigaction m_savedResume;
};

// Single key presses from a terminal on stdin: no line editing, no echo. The
// terminal's settings come back when this goes out of scope, on every path.
// Ctrl-C still raises SIGINT.
class CKeyboard {
public:
    CKeyboard() {
        // Only a foreground process may change the terminal's settings.
        if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp() ||
            tcgetattr(STDIN_FILENO, &m_saved) != 0) {
            return;
        }
        struct termios raw = m_saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        m_fActive = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~CKeyboard() {
        if (m_fActive) {
            tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
        }
    }
    CKeyboard(const CKeyboard&) = delete;
    CKeyboard& operator=(const CKeyboard&) = delete;

    bool Active() const { return m_fActive; }

    // What has been typed since the last call (never blocks).
    std::string Read() {
        std::string str;
        char rgch[64];
        ssize_t cb = 0;
        while (m_fActive && (cb = read(STDIN_FILENO, rgch, sizeof(rgch))) > 0) {
            str.append(rgch, static_cast<size_t>(cb));
        }
        return str;
    }

private:
    bool m_fActive = false;
    struct termios m_saved {};
};

// Recorded time: wall-clock time while recording, pauses left out.
class CRecordClock {
public:
    using Clock = std::chrono::steady_clock;

    void Start() { m_tRunningSince = Clock::now(); }
    void Pause() {
        m_dRecorded += Since(m_tRunningSince);
        m_tPausedSince = Clock::now();
        m_fPaused = true;
        ++m_nPauses;
    }
    void Resume() {
        m_dPaused += Since(m_tPausedSince);
        m_tRunningSince = Clock::now();
        m_fPaused = false;
    }
    double Recorded() const { return m_dRecorded + (m_fPaused ? 0 : Since(m_tRunningSince)); }
    double Paused() const { return m_dPaused + (m_fPaused ? Since(m_tPausedSince) : 0); }
    bool IsPaused() const { return m_fPaused; }
    int Pauses() const { return m_nPauses; }

private:
    static double Since(Clock::time_point t) {
        return std::chrono::duration<double>(Clock::now() - t).count();
    }

    Clock::time_point m_tRunningSince{};
    Clock::time_point m_tPausedSince{};
    double m_dRecorded = 0;
    double m_dPaused = 0;
    bool m_fPaused = false;
    int m_nPauses = 0;
};

uint64_t FileSize(const std::string& strFile) {
    struct stat st {};
    return stat(strFile.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool FileExists(const std::string& strFile) {
    return access(strFile.c_str(), F_OK) == 0;
}

// Only a regular file is ever removed or renamed: the output may be a device
// such as /dev/null, and we may be running with the rights to move it.
bool IsRegularFile(const std::string& strFile) {
    struct stat st {};
    return lstat(strFile.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void Say(const char* pszText) {
    std::fprintf(stderr, "deskvid-record: %s\n", pszText);
}

void SayStatus(const std::string& strWhat, int32_t hr) {
    std::fprintf(stderr, "deskvid-record: %s: status 0x%08X (%s)\n", strWhat.c_str(),
                 static_cast<unsigned>(hr), DeskVidStatusText(hr));
}

// The live status line, on a terminal only, redrawn in place.
class CStatusLine {
public:
    CStatusLine() : m_fActive(isatty(STDERR_FILENO) != 0) {}
    bool Active() const { return m_fActive; }
    void Show(const CRecordClock& clock, const std::string& strFile) {
        if (!m_fActive) {
            return;
        }
        const double dRecorded = clock.Recorded();
        const uint64_t cb = FileSize(strFile);
        std::fprintf(stderr, "\r%s  %s  %s  %.0f kbit/s  [p] pause/resume  [q] stop\033[K",
                     clock.IsPaused() ? "PAUSED   " : "RECORDING",
                     FormatDuration(dRecorded).c_str(), FormatSize(cb).c_str(),
                     AverageKbps(cb, dRecorded));
        std::fflush(stderr);
    }
    void Clear() {
        if (m_fActive) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
    }

private:
    bool m_fActive;
};

// A command that failed while recording.
struct SFailure {
    const char* pszWhat = nullptr;
    int32_t hr = 0;
};

// From a successful start to the moment the user or --duration ends it, or a
// pause or resume fails. Returns what failed, if anything.
SFailure RunUntilStopped(IWMEncDeskVid* pCapture, const COptions& options,
                         const std::string& strFile, const CSignals& signals,
                         CRecordClock* pClock) {
    CKeyboard keyboard;
    CStatusLine status;
    std::fprintf(stderr, "deskvid-record: recording to %s\n", strFile.c_str());
    std::fflush(stderr);

    g_nPauseRequest = kNoRequest;
    pClock->Start();
    for (;;) {
        status.Show(*pClock, strFile);
        double dWait = 0.2;
        if (options.dDurationSeconds > 0 && !pClock->IsPaused()) {
            const double dLeft = options.dDurationSeconds - pClock->Recorded();
            if (dLeft <= 0) {
                break;
            }
            dWait = std::min(dWait, dLeft);
        }
        struct timespec ts;
        ts.tv_sec = 0;
        ts.tv_nsec = static_cast<long>(dWait * 1e9);
        struct pollfd pfd {
            STDIN_FILENO, POLLIN, 0
        };
        ppoll(&pfd, keyboard.Active() ? 1 : 0, &ts, signals.WaitMask());

        // Each key press turns pausing over; then a signal, if one came, sets
        // the state it asks for. Handlers run only inside ppoll above.
        std::vector<bool> rgfPause;
        for (char ch : keyboard.Read()) {
            if (ch == 'p' || ch == 'P') {
                rgfPause.push_back(rgfPause.empty() ? !pClock->IsPaused() : !rgfPause.back());
            } else if (ch == 'q' || ch == 'Q') {
                g_fStopRequested = 1;
            }
        }
        if (g_nPauseRequest != kNoRequest) {
            rgfPause.push_back(g_nPauseRequest == kPauseRequest);
            g_nPauseRequest = kNoRequest;
        }
        if (g_fStopRequested) {
            break;
        }
        for (const bool fPause : rgfPause) {
            if (fPause == pClock->IsPaused()) {
                continue;
            }
            if (fPause) {
                const int32_t hr = pCapture->Control(CAPCMD_PAUSE, nullptr);
                if (hr < 0) {
                    status.Clear();
                    return SFailure{"pause failed", hr};
                }
                pClock->Pause();
            } else {
                // Resuming is a start that selects nothing: the instance
                // keeps its settings and reads the same file name again, so
                // the recording continues in the same file.
                CAPTURE_PARAMS resume{};
                resume.dwMask = 0;
                const int32_t hr = pCapture->Control(CAPCMD_START, &resume);
                if (hr < 0) {
                    status.Clear();
                    return SFailure{"resume failed", hr};
                }
                pClock->Resume();
            }
            if (!status.Active()) {
                std::fprintf(stderr, "deskvid-record: %s at %s\n",
                             pClock->IsPaused() ? "paused" : "resumed",
                             FormatDuration(pClock->Recorded()).c_str());
                std::fflush(stderr);
            }
        }
    }
    status.Clear();
    return SFailure{};
}

// With the instance created: start, record, stop. Returns the exit status.
int RunRecording(IWMEncDeskVid* pCapture, const COptions& options, const std::string& strFile,
                 const std::u16string& wstrFile, const std::string& strLibrary,
                 const CSignals& signals) {
    if (!options.fOverwrite && OutputIsTaken(strFile)) {
        std::fprintf(stderr, "deskvid-record: %s exists; give -y (--overwrite) to replace it\n",
                     strFile.c_str());
        return 2;
    }
    const bool fExisted = FileExists(strFile);
    if (options.fConstantRate) {
        // The plug-in reads it when a recording opens.
        setenv("DESKVID_TIMING", "constant", 1);
    }
    const CAPTURE_PARAMS params = MakeCaptureParams(options, wstrFile.c_str());
    const int32_t hrStart = pCapture->Control(CAPCMD_START, &params);
    if (hrStart < 0) {
        SayStatus("cannot start recording to " + strFile, hrStart);
        // A file this attempt created holds no recording.
        if (!fExisted && IsRegularFile(strFile) && unlink(strFile.c_str()) == 0) {
            Say(("removed " + strFile).c_str());
        }
        return 1;
    }

    CRecordClock clock;
    const SFailure failure = RunUntilStopped(pCapture, options, strFile, signals, &clock);
    if (clock.IsPaused()) {
        clock.Resume();  // the time spent paused ends here
    }
    const double dRecorded = clock.Recorded();
    const double dPaused = clock.Paused();
    if (failure.pszWhat != nullptr) {
        SayStatus(failure.pszWhat, failure.hr);
    }

    std::fprintf(stderr, "deskvid-record: stopping\n");
    std::fflush(stderr);
    const int32_t hrStop = pCapture->Control(CAPCMD_STOP, nullptr);
    if (hrStop < 0) {
        SayStatus("stopping failed; the recording is incomplete", hrStop);
        // Never leave a file under its own name that looks finished, and
        // never lose another file to make room for it.
        std::string strPartial;
        if (MoveAside(strFile, &strPartial)) {
            Say(("what was written is in " + strPartial).c_str());
        } else if (IsRegularFile(strFile) && unlink(strFile.c_str()) == 0) {
            Say(("removed " + strFile).c_str());
        }
        return 1;
    }

    SRecordingFacts facts;
    facts.strFile = strFile;
    facts.strLibrary = strLibrary;
    facts.dRecordedSeconds = dRecorded;
    facts.dPausedSeconds = dPaused;
    facts.nPauses = clock.Pauses();
    facts.nFps = (options.dwMask & CAPF_FPS) != 0 ? options.nFps : DESKVID_DEFAULT_FPS;
    facts.cbFile = FileSize(strFile);
    std::vector<SProbeStream> rgStreams;
    if (!ProbeFile(strFile, &rgStreams)) {
        rgStreams.clear();
    }
    PrintSummary(stdout, facts, rgStreams);
    if (failure.pszWhat != nullptr) {
        Say(("the recording up to the failure was finalised in " + strFile).c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int Record(const COptions& options) {
    CSignals signals;

    hostlib::CDeskVidLibrary library;
    std::string strError;
    const bool fLoaded =
        options.strLibrary.empty()
            ? LoadFirstLibrary(&library, DefaultLibraryCandidates(ExecutableDir()), &strError)
            : LoadAt(&library, options.strLibrary, &strError);
    if (!fLoaded) {
        Say(("cannot load the plug-in library: " + strError).c_str());
        return 1;
    }

    // The road every host takes: initialise, learn the interface names (an
    // enumeration by index ends at the first false), create an instance.
    if (!library.m_pfnInitialize()) {
        Say("the plug-in library failed to initialise");
        return 1;
    }
    bool fOffered = false;
    for (int i = 0; i < 1000; ++i) {
        char szName[256] = {};
        if (!library.m_pfnGetInterfaceName(i, szName)) {
            break;
        }
        szName[sizeof(szName) - 1] = '\0';
        fOffered = fOffered || std::strcmp(szName, DESKVID_INTERFACE_NAME) == 0;
    }
    if (!fOffered) {
        Say(("the library does not offer " DESKVID_INTERFACE_NAME ": " + library.Path()).c_str());
        library.m_pfnUninitialize();
        return 1;
    }
    // The handle is the instance's address, and IWMEncDeskVid its only base.
    auto* pCapture =
        static_cast<IWMEncDeskVid*>(library.m_pfnCreateInstance(DESKVID_INTERFACE_NAME));
    if (pCapture == nullptr) {
        Say("the library could not create a capture instance");
        library.m_pfnUninitialize();
        return 1;
    }

    // The instance keeps a pointer to the file name, not a copy, and reads it
    // again on every later start: this text lives until the instance is gone.
    const std::string strFile =
        options.strOutput.empty() ? DefaultFileName(std::time(nullptr)) : options.strOutput;
    const std::u16string wstrFile = port::Utf8ToUtf16(strFile);

    const int nExit = RunRecording(pCapture, options, strFile, wstrFile, library.Path(), signals);
    library.m_pfnDestroyInstance(pCapture);
    library.m_pfnUninitialize();
    return nExit;
}

}  // namespace record
