// Opening a connection to an X server without ever waiting on it past a
// deadline. xcb_connect() reads the server's setup blocking, and libXau the
// authority file (a FIFO, or a network home that does not answer, holds it
// for good); this does both itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "port/port.h"

struct xcb_connection_t;

namespace dvengine {

// Connects to pszDisplay (null: $DISPLAY). S_OK with *ppConn (the caller
// disconnects it) and *pnScreen; DV_E_NO_DISPLAY when there is no display,
// it refuses the connection, or it has not answered by nDeadlineUs. Safe to
// call from several threads at once.
HRESULT ConnectX11(const char* pszDisplay, int64_t nDeadlineUs, xcb_connection_t** ppConn,
                   int* pnScreen);

// Waits until the connection's socket has something to read, or until
// nDeadlineUs. False at the deadline.
bool WaitReadable(xcb_connection_t* pConn, int64_t nDeadlineUs);

// The reply to request nSeq (sent and flushed): true with *ppReply for the
// caller to free, null when the server answered with an error; false when it
// has not answered by nDeadlineUs or the connection broke.
bool AwaitReply(xcb_connection_t* pConn, unsigned nSeq, int64_t nDeadlineUs, void** ppReply);

// Replies awaited on one connection under the wait's deadline, after which
// the request stays in flight for a later wait: a late answer costs that
// wait, nothing more. A server that another client holds grabbed, or that is
// stopped, answers when it can, and the wait then takes up its reply; only a
// connection that breaks is lost.
class CReplyWait {
public:
    // A server silent this long is stalled: a gap while it lasts.
    static constexpr int64_t kStalledUs = 1000000;

    // Requests whose replies will be awaited were just sent: the server's
    // silence counts from now.
    void Sent();
    // S_OK with *ppReply (the caller frees it; null when the server answered
    // with an error); S_FALSE when it has not answered by nDeadlineUs;
    // DV_E_NO_DISPLAY when the connection broke.
    HRESULT Await(xcb_connection_t* pConn, unsigned nSeq, int64_t nDeadlineUs, void** ppReply);
    // The last wait ended with no reply, and the server has said nothing for
    // kStalledUs (counted from the last reply awaited, or from Sent()).
    bool Stalled() const;

private:
    int64_t m_nSinceUs = 0;
    bool m_bLate = false;
};

// Ends a connection whose server stops in the middle of a reply. xcb reads a
// reply whole once its header has come, blocking with no deadline; so every
// call that may read is made with the watchdog armed, and at the armed
// deadline it shuts the socket down, which ends that read (and with it the
// connection) at once. The connection's owner learns from Fired() that the
// break was the watchdog's, not the server's.
class CX11Watchdog {
public:
    ~CX11Watchdog() { Stop(); }
    // Its thread; false when it cannot be started.
    bool Start();
    // Shuts fd down at nDeadlineUs unless disarmed before.
    void Arm(int fd, int64_t nDeadlineUs);
    void Disarm();
    // Ends the thread, disarmed: fd may be closed after it.
    void Stop();
    // Whether it shut a socket down since the last call.
    bool Fired();

    // Armed for a scope.
    class CArmed {
    public:
        CArmed(CX11Watchdog* pWatchdog, xcb_connection_t* pConn, int64_t nDeadlineUs);
        ~CArmed() { m_pWatchdog->Disarm(); }
        CArmed(const CArmed&) = delete;
        CArmed& operator=(const CArmed&) = delete;

    private:
        CX11Watchdog* m_pWatchdog;
    };

private:
    void Run();

    std::mutex m_lock;
    std::condition_variable m_cv;
    std::thread m_thread;
    int m_fd = -1;  // armed: the socket to shut down
    int64_t m_nDeadlineUs = 0;
    int64_t m_nWaitingUntilUs = INT64_MAX;  // the thread's wake-up (none: INT64_MAX)
    bool m_bQuit = false;
    bool m_bFired = false;
};

struct CFree {
    void operator()(void* p) const { free(p); }
};
template <typename T>
using CReply = std::unique_ptr<T, CFree>;

}  // namespace dvengine
