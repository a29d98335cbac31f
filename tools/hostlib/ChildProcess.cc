#include "tools/hostlib/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

extern char** environ;

namespace hostlib {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsLeft(Clock::time_point tEnd) {
    return std::chrono::duration<double>(tEnd - Clock::now()).count();
}

Clock::time_point Deadline(double dSeconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(dSeconds));
}

// This process's environment with the changes applied ("NAME=value" sets,
// "NAME" removes).
std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& rgstrEnv) {
    auto nameOf = [](const std::string& str) { return str.substr(0, str.find('=')); };
    std::vector<std::string> rgstr;
    for (char** ppsz = environ; *ppsz != nullptr; ++ppsz) {
        const std::string str = *ppsz;
        bool bChanged = false;
        for (const std::string& strChange : rgstrEnv) {
            bChanged = bChanged || nameOf(strChange) == nameOf(str);
        }
        if (!bChanged) {
            rgstr.push_back(str);
        }
    }
    for (const std::string& strChange : rgstrEnv) {
        if (strChange.find('=') != std::string::npos) {
            rgstr.push_back(strChange);
        }
    }
    return rgstr;
}

}  // namespace

CChildProcess::~CChildProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_fdOut >= 0) {
        close(m_fdOut);
    }
    if (m_fdErr >= 0) {
        close(m_fdErr);
    }
}

bool CChildProcess::Start(const std::vector<std::string>& rgstrArgs,
                          const std::vector<std::string>& rgstrEnv, bool bCapture) {
    int rgfdOut[2] = {-1, -1}, rgfdErr[2] = {-1, -1};
    if (bCapture && pipe2(rgfdOut, O_CLOEXEC) != 0) {
        return false;
    }
    if (bCapture && pipe2(rgfdErr, O_CLOEXEC) != 0) {
        close(rgfdOut[0]);
        close(rgfdOut[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (bCapture) {
        posix_spawn_file_actions_adddup2(&actions, rgfdOut[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, rgfdErr[1], STDERR_FILENO);
    }
    // The child starts with default signal dispositions and nothing blocked,
    // whatever the test runner did.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t setNone, setAll;
    sigemptyset(&setNone);
    sigfillset(&setAll);
    posix_spawnattr_setsigmask(&attr, &setNone);
    posix_spawnattr_setsigdefault(&attr, &setAll);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> rgpsz;
    for (const std::string& str : rgstrArgs) {
        rgpsz.push_back(const_cast<char*>(str.c_str()));
    }
    rgpsz.push_back(nullptr);
    const std::vector<std::string> rgstrEnviron = ChangedEnvironment(rgstrEnv);
    std::vector<char*> rgpszEnv;
    for (const std::string& str : rgstrEnviron) {
        rgpszEnv.push_back(const_cast<char*>(str.c_str()));
    }
    rgpszEnv.push_back(nullptr);
    const int nErr = posix_spawnp(&m_pid, rgpsz[0], &actions, &attr, rgpsz.data(), rgpszEnv.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (bCapture) {
        close(rgfdOut[1]);
        close(rgfdErr[1]);
    }
    m_fdOut = rgfdOut[0];
    m_fdErr = rgfdErr[0];
    if (nErr != 0) {
        m_pid = -1;
        return false;
    }
    return true;
}

bool CChildProcess::Pump(double dTimeoutSeconds) {
    struct pollfd rgpfd[2] = {{m_fdOut, POLLIN, 0}, {m_fdErr, POLLIN, 0}};
    if (m_fdOut < 0 && m_fdErr < 0) {
        return false;
    }
    const int nMs = dTimeoutSeconds > 0 ? static_cast<int>(dTimeoutSeconds * 1000) + 1 : 0;
    if (poll(rgpfd, 2, nMs) <= 0) {
        return true;
    }
    int* rgpfdOwn[2] = {&m_fdOut, &m_fdErr};
    std::string* rgpstr[2] = {&m_strOut, &m_strErr};
    for (int i = 0; i < 2; ++i) {
        if (rgpfd[i].fd < 0 || rgpfd[i].revents == 0) {
            continue;
        }
        char rgch[4096];
        const ssize_t cb = read(rgpfd[i].fd, rgch, sizeof(rgch));
        if (cb > 0) {
            rgpstr[i]->append(rgch, static_cast<size_t>(cb));
        } else if (cb == 0 || errno != EINTR) {
            close(*rgpfdOwn[i]);
            *rgpfdOwn[i] = -1;
        }
    }
    return m_fdOut >= 0 || m_fdErr >= 0;
}

bool CChildProcess::WaitForStderr(const std::string& strText, double dTimeoutSeconds) {
    const auto tEnd = Deadline(dTimeoutSeconds);
    for (;;) {
        const size_t iFound = m_strErr.find(strText, m_iErrConsumed);
        if (iFound != std::string::npos) {
            m_iErrConsumed = iFound + strText.size();
            return true;
        }
        const double dLeft = SecondsLeft(tEnd);
        if (dLeft <= 0 || !Pump(dLeft)) {
            return false;
        }
    }
}

bool CChildProcess::ReadStdoutLine(std::string* pstrLine, double dTimeoutSeconds) {
    const auto tEnd = Deadline(dTimeoutSeconds);
    for (;;) {
        const size_t iEol = m_strOut.find('\n', m_iOutConsumed);
        if (iEol != std::string::npos) {
            *pstrLine = m_strOut.substr(m_iOutConsumed, iEol - m_iOutConsumed);
            m_iOutConsumed = iEol + 1;
            return true;
        }
        const double dLeft = SecondsLeft(tEnd);
        if (dLeft <= 0 || !Pump(dLeft)) {
            return false;
        }
    }
}

void CChildProcess::Signal(int nSignal) {
    if (m_pid > 0) {
        kill(m_pid, nSignal);
    }
}

int CChildProcess::Wait(double dTimeoutSeconds) {
    const auto tEnd = Deadline(dTimeoutSeconds);
    while (SecondsLeft(tEnd) > 0 && Pump(SecondsLeft(tEnd))) {
    }
    if (m_pid <= 0) {
        return -1;
    }
    int nStatus = 0;
    for (;;) {
        const pid_t pid = wait4(m_pid, &nStatus, WNOHANG, &m_usage);
        if (pid == m_pid) {
            break;
        }
        if (SecondsLeft(tEnd) <= 0) {
            return -1;  // the destructor kills it
        }
        usleep(10000);
    }
    m_pid = -1;
    if (WIFSIGNALED(nStatus)) {
        return 128 + WTERMSIG(nStatus);
    }
    return WEXITSTATUS(nStatus);
}

SRunResult RunToEnd(const std::vector<std::string>& rgstrArgs, double dTimeoutSeconds,
                    const std::vector<std::string>& rgstrEnv) {
    CChildProcess child;
    SRunResult result;
    if (!child.Start(rgstrArgs, rgstrEnv)) {
        result.strErr = "cannot start " + rgstrArgs[0];
        return result;
    }
    result.nExit = child.Wait(dTimeoutSeconds);
    result.strOut = child.Stdout();
    result.strErr = child.Stderr();
    return result;
}

}  // namespace hostlib
