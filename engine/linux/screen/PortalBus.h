// The desktop portal on the session bus (GDBus), on a main context of our
// own: method calls and the portal's requests, each answered by a Response
// signal, every wait with a deadline.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "port/port.h"

typedef struct _GMainContext GMainContext;
typedef struct _GDBusConnection GDBusConnection;
typedef struct _GCancellable GCancellable;
typedef struct _GAsyncResult GAsyncResult;
typedef struct _GVariant GVariant;

namespace dvengine {

extern const char kPortal[];
extern const char kPortalPath[];
extern const char kScreenCast[];
extern const char kSessionInterface[];

class CPortalBus {
public:
    CPortalBus() = default;
    ~CPortalBus();
    CPortalBus(const CPortalBus&) = delete;
    CPortalBus& operator=(const CPortalBus&) = delete;

    // Connects to the session bus of the environment, never one started on
    // the side. S_OK, or DV_E_NO_PORTAL when there is none by nDeadlineUs.
    // The calls below but Close() are made with Context() the thread's
    // default.
    HRESULT Connect(int64_t nDeadlineUs);
    GMainContext* Context() const { return m_pContext; }
    GDBusConnection* Bus() const { return m_pBus; }

    // A method call on the portal's object at pszPath: S_OK with *ppReply
    // (ours to unref) and, when pFd is given, the descriptor the reply
    // carries (ours to close); DV_E_NO_PORTAL when the portal or the method
    // is missing, DV_E_PORTAL_REFUSED when it says not allowed,
    // DV_E_NO_DISPLAY for any other failure. pArgs is consumed.
    HRESULT Call(const char* pszPath, const char* pszInterface, const char* pszMethod,
                 GVariant* pArgs, int64_t nDeadlineUs, GVariant** ppReply, int* pFd = nullptr);

    // A ScreenCast call answered through a Request object named strToken:
    // S_OK with its results (ours to unref); DV_E_PORTAL_REFUSED when the
    // user refused or nobody answered by nDeadlineUs (the question is then
    // withdrawn); DV_E_NO_DISPLAY when the portal failed.
    HRESULT Request(const char* pszMethod, GVariant* pArgs, const std::string& strToken,
                    int64_t nDeadlineUs, GVariant** ppResults);

    // A name for a request or session handle, unique in this process.
    std::string NextToken();

    // Runs the context until bDone() or nDeadlineUs; true when done.
    bool RunUntil(const std::function<bool()>& bDone, int64_t nDeadlineUs);
    // Dispatches what is pending, without waiting.
    void Dispatch();
    bool Closed() const;

    // Leaves the bus, without waiting on the portal; idempotent.
    void Close();

private:
    struct CAnswer;
    GAsyncResult* Await(int64_t nDeadlineUs);

    GMainContext* m_pContext = nullptr;
    GDBusConnection* m_pBus = nullptr;
    GCancellable* m_pCancel = nullptr;
    GAsyncResult* m_pSlot = nullptr;  // the answer to the call in flight
    std::string m_strSender;          // our unique name as request paths spell it
    unsigned m_nTokens = 0;
};

}  // namespace dvengine
