// The user's requests through signals and the terminal, and file questions,
// on POSIX systems.
#include "Console.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <ctime>

namespace record {

namespace {

// Set by the signal handlers; Wait() does the work. A pause or resume
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
constexpr size_t kStopSignals = sizeof(g_rgnStopSignals) / sizeof(g_rgnStopSignals[0]);

}  // namespace

// The signals we answer are blocked except while Wait() waits in ppoll. So a
// handler never runs in the middle of a command, and never on the engine's
// threads, which inherit the blocked mask when they are created. Keys come
// from the terminal without line editing or echo.
struct CUserRequests::CRep {
    sigset_t maskSaved;
    sigset_t maskWait;
    struct sigaction rgSavedStop[kStopSignals];
    struct sigaction savedPause;
    struct sigaction savedResume;
    bool fKeys = false;
    struct termios savedTerminal {};
};

CUserRequests::CUserRequests() : m_pRep(new CRep) {
    sigset_t set;
    sigemptyset(&set);
    for (int nSignal : g_rgnStopSignals) {
        sigaddset(&set, nSignal);
    }
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, &m_pRep->maskSaved);
    m_pRep->maskWait = m_pRep->maskSaved;
    for (int nSignal : g_rgnStopSignals) {
        sigdelset(&m_pRep->maskWait, nSignal);
    }
    sigdelset(&m_pRep->maskWait, SIGUSR1);
    sigdelset(&m_pRep->maskWait, SIGUSR2);

    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = OnStopSignal;
    for (size_t i = 0; i < kStopSignals; ++i) {
        sigaction(g_rgnStopSignals[i], &action, &m_pRep->rgSavedStop[i]);
    }
    action.sa_handler = OnPauseSignal;
    sigaction(SIGUSR1, &action, &m_pRep->savedPause);
    action.sa_handler = OnResumeSignal;
    sigaction(SIGUSR2, &action, &m_pRep->savedResume);
}

CUserRequests::~CUserRequests() {
    EndKeys();
    // Anything still pending is taken by our handlers first.
    pthread_sigmask(SIG_SETMASK, &m_pRep->maskSaved, nullptr);
    for (size_t i = 0; i < kStopSignals; ++i) {
        sigaction(g_rgnStopSignals[i], &m_pRep->rgSavedStop[i], nullptr);
    }
    sigaction(SIGUSR1, &m_pRep->savedPause, nullptr);
    sigaction(SIGUSR2, &m_pRep->savedResume, nullptr);
}

void CUserRequests::BeginKeys() {
    // A pause asked for before the recording began asks nothing of it.
    g_nPauseRequest = kNoRequest;
    // Only a foreground process may change the terminal's settings.
    if (m_pRep->fKeys || !isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp() ||
        tcgetattr(STDIN_FILENO, &m_pRep->savedTerminal) != 0) {
        return;
    }
    struct termios raw = m_pRep->savedTerminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    m_pRep->fKeys = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

void CUserRequests::EndKeys() {
    if (m_pRep->fKeys) {
        tcsetattr(STDIN_FILENO, TCSANOW, &m_pRep->savedTerminal);
        m_pRep->fKeys = false;
    }
}

void CUserRequests::Wait(double dSeconds, bool bPaused, std::vector<bool>* prgfPause,
                         bool* pfStop) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(dSeconds);
    ts.tv_nsec = static_cast<long>((dSeconds - std::floor(dSeconds)) * 1e9);
    struct pollfd pfd {
        STDIN_FILENO, POLLIN, 0
    };
    ppoll(&pfd, m_pRep->fKeys ? 1 : 0, &ts, &m_pRep->maskWait);

    // Each key press turns pausing over; then a signal, if one came, sets
    // the state it asks for. Handlers run only inside ppoll above.
    char rgch[64];
    ssize_t cb = 0;
    while (m_pRep->fKeys && (cb = read(STDIN_FILENO, rgch, sizeof(rgch))) > 0) {
        for (ssize_t i = 0; i < cb; ++i) {
            if (rgch[i] == 'p' || rgch[i] == 'P') {
                prgfPause->push_back(prgfPause->empty() ? !bPaused : !prgfPause->back());
            } else if (rgch[i] == 'q' || rgch[i] == 'Q') {
                g_fStopRequested = 1;
            }
        }
    }
    if (g_nPauseRequest != kNoRequest) {
        prgfPause->push_back(g_nPauseRequest == kPauseRequest);
        g_nPauseRequest = kNoRequest;
    }
    *pfStop = g_fStopRequested != 0;
}

bool StatusLineAvailable() {
    return isatty(STDERR_FILENO) != 0;
}

uint64_t FileSize(const std::string& strFile) {
    struct stat st {};
    return stat(strFile.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool FileExists(const std::string& strFile) {
    return access(strFile.c_str(), F_OK) == 0;
}

bool IsRegularFile(const std::string& strFile) {
    struct stat st {};
    return lstat(strFile.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool RemoveFile(const std::string& strFile) {
    return unlink(strFile.c_str()) == 0;
}

}  // namespace record
