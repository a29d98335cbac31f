#include "engine/linux/screen/X11Connect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "engine/core/ScreenSource.h"
#include "engine/linux/screen/X11Auth.h"
#include "plugin/deskvid/deskvid_status.h"

namespace dvengine {

namespace {

int RemainingMs(int64_t nDeadlineUs) {
    int64_t nLeft = nDeadlineUs - MonotonicUs();
    if (nLeft <= 0) {
        return 0;
    }
    return static_cast<int>(std::min<int64_t>((nLeft + 999) / 1000, 1000000));
}

bool WaitFd(int fd, short nEvents, int64_t nDeadlineUs) {
    for (;;) {
        pollfd pfd = {fd, nEvents, 0};
        int n = poll(&pfd, 1, RemainingMs(nDeadlineUs));
        if (n > 0) {
            return true;
        }
        if (n == 0 || errno != EINTR) {
            return false;
        }
    }
}

// A non-blocking stream socket connected to pAddr by the deadline, or -1.
int ConnectSocket(const sockaddr* pAddr, socklen_t nLen, int64_t nDeadlineUs) {
    int fd = socket(pAddr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (pAddr->sa_family != AF_UNIX) {
        int nOn = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    }
    if (connect(fd, pAddr, nLen) == 0) {
        return fd;
    }
    if (errno == EINPROGRESS && WaitFd(fd, POLLOUT, nDeadlineUs)) {
        int nErr = 0;
        socklen_t cb = sizeof nErr;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &nErr, &cb) == 0 && nErr == 0) {
            return fd;
        }
    }
    close(fd);
    return -1;
}

// The local server's socket: the abstract name first, as the server listens
// on both, then the path.
int ConnectLocal(int nDisplay, int64_t nDeadlineUs) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    int cch = snprintf(addr.sun_path + 1, sizeof addr.sun_path - 1, "/tmp/.X11-unix/X%d", nDisplay);
    socklen_t nLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + cch);
    int fd = ConnectSocket(reinterpret_cast<sockaddr*>(&addr), nLen, nDeadlineUs);
    if (fd >= 0) {
        return fd;
    }
    memmove(addr.sun_path, addr.sun_path + 1, cch + 1);
    return ConnectSocket(reinterpret_cast<sockaddr*>(&addr), sizeof addr, nDeadlineUs);
}

// A remote server over TCP. The name is resolved asynchronously so that a
// resolver that does not answer cannot hold the caller past the deadline; a
// request that cannot be cancelled is left to the resolver, which still
// writes into it.
int ConnectTcp(const char* pszHost, int nDisplay, int64_t nDeadlineUs, sockaddr_storage* pPeer) {
    struct CLookup {
        addrinfo hints = {};
        gaicb req = {};
        char szPort[16] = {};
    };
    auto* pLookup = new (std::nothrow) CLookup;
    if (!pLookup) {
        return -1;
    }
    pLookup->hints.ai_socktype = SOCK_STREAM;
    pLookup->hints.ai_flags = AI_ADDRCONFIG;
    snprintf(pLookup->szPort, sizeof pLookup->szPort, "%d", 6000 + nDisplay);
    char* pszName = strdup(pszHost);
    pLookup->req.ar_name = pszName;
    pLookup->req.ar_service = pLookup->szPort;
    pLookup->req.ar_request = &pLookup->hints;
    gaicb* rgReq[1] = {&pLookup->req};
    if (!pszName || getaddrinfo_a(GAI_NOWAIT, rgReq, 1, nullptr) != 0) {
        free(pszName);
        delete pLookup;
        return -1;
    }
    while (gai_error(&pLookup->req) == EAI_INPROGRESS) {
        int nMs = RemainingMs(nDeadlineUs);
        if (nMs == 0) {
            if (gai_cancel(&pLookup->req) == EAI_CANCELED) {
                break;
            }
            return -1;  // still in the resolver's hands: left to it
        }
        timespec ts = {nMs / 1000, (nMs % 1000) * 1000000L};
        gai_suspend(rgReq, 1, &ts);
    }
    int fd = -1;
    if (gai_error(&pLookup->req) == 0) {
        for (addrinfo* p = pLookup->req.ar_result; p && fd < 0; p = p->ai_next) {
            fd = ConnectSocket(p->ai_addr, p->ai_addrlen, nDeadlineUs);
            if (fd >= 0) {
                memcpy(pPeer, p->ai_addr, p->ai_addrlen);
            }
        }
        freeaddrinfo(pLookup->req.ar_result);
    }
    free(pszName);
    delete pLookup;
    return fd;
}

// The setup handshake runs on a thread of its own, since xcb reads the
// server's answer blocking. At the deadline the socket's reading side is shut
// down: the handshake then sees the end of the stream and fails at once, so
// the thread is always joined, never abandoned. xcb gets a duplicate of the
// descriptor and owns it; the original stays open for that shutdown.
xcb_connection_t* Handshake(int fd, std::string* pstrCookie, int64_t nDeadlineUs) {
    int fdXcb = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (fdXcb < 0) {
        return nullptr;
    }
    char szName[sizeof kX11CookieName];
    memcpy(szName, kX11CookieName, sizeof szName);
    xcb_auth_info_t auth = {};
    auth.namelen = static_cast<int>(sizeof kX11CookieName - 1);
    auth.name = szName;
    auth.datalen = static_cast<int>(pstrCookie->size());
    auth.data = &(*pstrCookie)[0];
    const bool bAuth = !pstrCookie->empty();
    std::mutex lock;
    std::condition_variable cv;
    bool bDone = false;
    xcb_connection_t* pConn = nullptr;
    try {
        std::thread thread([&] {
            xcb_connection_t* p = xcb_connect_to_fd(fdXcb, bAuth ? &auth : nullptr);
            std::lock_guard<std::mutex> guard(lock);
            pConn = p;
            bDone = true;
            cv.notify_one();
        });
        {
            std::unique_lock<std::mutex> guard(lock);
            int64_t nLeft = nDeadlineUs - MonotonicUs();
            if (!cv.wait_for(guard, std::chrono::microseconds(nLeft > 0 ? nLeft : 0),
                             [&] { return bDone; })) {
                shutdown(fd, SHUT_RD);
            }
        }
        thread.join();
    } catch (...) {
        close(fdXcb);  // the thread never started: xcb did not take it
        return nullptr;
    }
    return pConn;
}

}  // namespace

bool WaitReadable(xcb_connection_t* pConn, int64_t nDeadlineUs) {
    return WaitFd(xcb_get_file_descriptor(pConn), POLLIN, nDeadlineUs);
}

bool AwaitReply(xcb_connection_t* pConn, unsigned nSeq, int64_t nDeadlineUs, void** ppReply) {
    for (bool bFirst = true;; bFirst = false) {
        xcb_generic_error_t* pError = nullptr;
        if (xcb_poll_for_reply(pConn, nSeq, ppReply, &pError)) {
            free(pError);
            return true;
        }
        // A stream of events keeps the socket readable: the deadline still holds.
        if (xcb_connection_has_error(pConn) || (!bFirst && MonotonicUs() >= nDeadlineUs) ||
            !WaitReadable(pConn, nDeadlineUs)) {
            *ppReply = nullptr;
            return false;
        }
    }
}

void CReplyWait::Sent() {
    m_nSinceUs = MonotonicUs();
}

HRESULT CReplyWait::Await(xcb_connection_t* pConn, unsigned nSeq, int64_t nDeadlineUs,
                          void** ppReply) {
    m_bLate = !AwaitReply(pConn, nSeq, nDeadlineUs, ppReply);
    if (!m_bLate) {
        m_nSinceUs = MonotonicUs();
        return S_OK;
    }
    return xcb_connection_has_error(pConn) ? DV_E_NO_DISPLAY : S_FALSE;
}

bool CReplyWait::Stalled() const {
    return m_bLate && MonotonicUs() - m_nSinceUs >= kStalledUs;
}

bool CX11Watchdog::Start() {
    try {
        if (!m_thread.joinable()) {
            m_bQuit = false;
            m_thread = std::thread([this] { Run(); });
        }
        return true;
    } catch (...) {
        return false;
    }
}

void CX11Watchdog::Arm(int fd, int64_t nDeadlineUs) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_fd = fd;
    m_nDeadlineUs = nDeadlineUs;
    // A thread waiting for an earlier deadline wakes then and waits on for
    // this one: a grab every slot wakes it about once a deadline, not twice
    // a grab.
    if (nDeadlineUs < m_nWaitingUntilUs) {
        m_cv.notify_one();
    }
}

void CX11Watchdog::Disarm() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_fd = -1;
}

void CX11Watchdog::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_fd = -1;
        m_bQuit = true;
        m_cv.notify_one();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool CX11Watchdog::Fired() {
    std::lock_guard<std::mutex> guard(m_lock);
    const bool bFired = m_bFired;
    m_bFired = false;
    return bFired;
}

void CX11Watchdog::Run() {
    try {
        std::unique_lock<std::mutex> guard(m_lock);
        while (!m_bQuit) {
            const int64_t nLeft = m_nDeadlineUs - MonotonicUs();
            if (m_fd < 0) {
                m_nWaitingUntilUs = INT64_MAX;
                m_cv.wait(guard);
            } else if (nLeft > 0) {
                m_nWaitingUntilUs = m_nDeadlineUs;
                m_cv.wait_for(guard, std::chrono::microseconds(nLeft));
            } else {
                shutdown(m_fd, SHUT_RDWR);
                m_fd = -1;
                m_bFired = true;
            }
        }
    } catch (...) {
        // A lock that fails: nothing is watched any more.
    }
}

CX11Watchdog::CArmed::CArmed(CX11Watchdog* pWatchdog, xcb_connection_t* pConn, int64_t nDeadlineUs)
    : m_pWatchdog(pWatchdog) {
    pWatchdog->Arm(xcb_get_file_descriptor(pConn), nDeadlineUs);
}

HRESULT ConnectX11(const char* pszDisplay, int64_t nDeadlineUs, xcb_connection_t** ppConn,
                   int* pnScreen) {
    *ppConn = nullptr;
    char* pszHost = nullptr;
    int nDisplay = 0;
    int nScreen = 0;
    if (!xcb_parse_display(pszDisplay, &pszHost, &nDisplay, &nScreen)) {
        return DV_E_NO_DISPLAY;
    }
    sockaddr_storage peer = {};
    peer.ss_family = AF_UNIX;
    int fd = (!*pszHost || strcmp(pszHost, "unix") == 0)
                 ? ConnectLocal(nDisplay, nDeadlineUs)
                 : ConnectTcp(pszHost, nDisplay, nDeadlineUs, &peer);
    free(pszHost);
    if (fd < 0) {
        return DV_E_NO_DISPLAY;
    }
    std::string strCookie;
    xcb_connection_t* pConn = nullptr;
    try {
        if (LookUpX11Cookie(peer, nDisplay, nDeadlineUs, &strCookie)) {
            pConn = Handshake(fd, &strCookie, nDeadlineUs);
        }
    } catch (...) {
        pConn = nullptr;  // out of memory
    }
    close(fd);
    if (!pConn) {
        return DV_E_NO_DISPLAY;
    }
    if (xcb_connection_has_error(pConn) ||
        nScreen >= xcb_setup_roots_length(xcb_get_setup(pConn))) {
        xcb_disconnect(pConn);
        return DV_E_NO_DISPLAY;
    }
    *ppConn = pConn;
    *pnScreen = nScreen;
    return S_OK;
}

}  // namespace dvengine
