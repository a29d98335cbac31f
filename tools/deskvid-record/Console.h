// What deskvid-record needs of its platform while it records: the user's
// requests (stop, pause, resume) from the keyboard and the system, the
// terminal for the status line, and plain questions about files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace record {

// The user's requests. POSIX: SIGINT, SIGTERM and SIGHUP stop, SIGUSR1
// pauses, SIGUSR2 resumes; Windows: Ctrl-C, Ctrl-Break and closing the
// console stop. On both, while keys are taken, 'p' turns pausing over and 'q'
// stops. The handlers are the process's from construction to destruction,
// and run only inside Wait(), never during a command. On Windows it also
// initialises COM on the calling thread for as long as it lives, as every
// host of the library must before its first command.
class CUserRequests {
public:
    CUserRequests();
    ~CUserRequests();
    CUserRequests(const CUserRequests&) = delete;
    CUserRequests& operator=(const CUserRequests&) = delete;

    // Single key presses from a terminal or console in the foreground, from
    // now until EndKeys() (the terminal's settings come back then).
    void BeginKeys();
    void EndKeys();

    // Waits at most dSeconds, or until something is asked. Appends to
    // *prgfPause each pause state asked for, in order (a key turns over the
    // state before it, starting from bPaused; a signal asks for a state);
    // *pfStop becomes true once a stop has been asked for.
    void Wait(double dSeconds, bool bPaused, std::vector<bool>* prgfPause, bool* pfStop);

private:
    struct CRep;
    std::unique_ptr<CRep> m_pRep;
};

// Standard error is a terminal that can redraw a status line in place.
bool StatusLineAvailable();

uint64_t FileSize(const std::string& strFile);
bool FileExists(const std::string& strFile);
// Only a regular file is ever removed or renamed: the output may be a device
// such as /dev/null, and we may be running with the rights to move it.
bool IsRegularFile(const std::string& strFile);
bool RemoveFile(const std::string& strFile);

}  // namespace record
