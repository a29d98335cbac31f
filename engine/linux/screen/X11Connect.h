// Opening a connection to an X server without ever waiting on it past a
// deadline. xcb_connect() reads the server's setup blocking, and libXau the
// authority file (a FIFO, or a network home that does not answer, holds it
// for good); this does both itself.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

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

// Replies awaited on one connection under two deadlines: the wait's own,
// after which the request stays in flight for a later wait (one late answer
// costs that wait, nothing more), and the server's: an awaited reply that has
// not come kSilentUs after the wait for it began is a lost display.
class CReplyWait {
public:
    static constexpr int64_t kSilentUs = 1000000;

    // Requests whose replies will be awaited were just sent: the server's
    // silence counts from now.
    void Sent();
    // S_OK with *ppReply (the caller frees it; null when the server answered
    // with an error); S_FALSE when it has not answered by nDeadlineUs;
    // DV_E_NO_DISPLAY when it has been silent for kSilentUs (counted from the
    // last reply awaited, or from Sent()) or the connection broke.
    HRESULT Await(xcb_connection_t* pConn, unsigned nSeq, int64_t nDeadlineUs, void** ppReply);

private:
    int64_t m_nSinceUs = 0;
};

struct CFree {
    void operator()(void* p) const { free(p); }
};
template <typename T>
using CReply = std::unique_ptr<T, CFree>;

}  // namespace dvengine
