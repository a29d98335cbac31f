// Runs a program as a child with its output captured, for tests that drive
// a program from outside as a user or a script would: deskvid-record, a host
// of the library, ffprobe and ffmpeg.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testproc {

class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();  // kills and reaps a child that is still running
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts argv[0] (a path, or a name looked up on PATH) with stdin from
    // /dev/null and stdout and stderr captured. rgstrEnv changes the child's
    // environment: "NAME=value" sets a variable, "NAME" removes it.
    bool Start(const std::vector<std::string>& rgstrArgs,
               const std::vector<std::string>& rgstrEnv = {});

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

// A fresh empty folder under $TMPDIR, removed with everything in it when the
// object goes.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& strName) const { return m_strPath + "/" + strName; }

private:
    std::string m_strPath;
};

bool FileExists(const std::string& strPath);

}  // namespace testproc
