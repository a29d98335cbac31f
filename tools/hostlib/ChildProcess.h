// Runs a program as a child, its output captured or passed through: ffprobe
// for deskvid-record's summary, the reference recording for the benchmark,
// and the programs the tests drive from outside as a user or a script would.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace hostlib {

class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();  // kills and reaps a child that is still running
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts argv[0] (a path, or a name looked up on PATH) with stdin from
    // /dev/null and stdout and stderr captured (or, with bCapture false, this
    // process's own). rgstrEnv changes the child's environment: "NAME=value"
    // sets a variable, "NAME" removes it.
    bool Start(const std::vector<std::string>& rgstrArgs,
               const std::vector<std::string>& rgstrEnv = {}, bool bCapture = true);

    // Reads output until stderr holds strText after what earlier calls
    // consumed, the child closes its output, or the timeout passes.
    bool WaitForStderr(const std::string& strText, double dTimeoutSeconds);

    // Reads output until stdout holds a whole line after what earlier calls
    // consumed, and hands it over without its newline; false when the child
    // closes its output first or the timeout passes.
    bool ReadStdoutLine(std::string* pstrLine, double dTimeoutSeconds);

    void Signal(int nSignal);

    // Reads the rest of the output and waits for the exit. Returns the exit
    // status, 128 + the signal's number when killed, or -1 on timeout (the
    // child is then killed).
    int Wait(double dTimeoutSeconds);

    const std::string& Stdout() const { return m_strOut; }
    const std::string& Stderr() const { return m_strErr; }
    // The child's CPU time and peak memory, once Wait has seen it end.
    const rusage& Usage() const { return m_usage; }

private:
    // Reads what is there within the timeout; false when both pipes are closed.
    bool Pump(double dTimeoutSeconds);

    pid_t m_pid = -1;
    int m_fdOut = -1;
    int m_fdErr = -1;
    std::string m_strOut;
    std::string m_strErr;
    size_t m_iErrConsumed = 0;
    size_t m_iOutConsumed = 0;
    rusage m_usage = {};
};

struct SRunResult {
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

// Runs a program to its end (at most dTimeoutSeconds), with its environment
// changed as CChildProcess::Start says.
SRunResult RunToEnd(const std::vector<std::string>& rgstrArgs, double dTimeoutSeconds = 60,
                    const std::vector<std::string>& rgstrEnv = {});

}  // namespace hostlib
