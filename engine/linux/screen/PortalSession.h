// The desktop portal's side of a Wayland screen: a ScreenCast session on the
// session bus (GDBus), from the user's consent to the PipeWire remote that
// carries the picture, and the restore token that spares the user the next
// question.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "port/port.h"

typedef struct _GMainContext GMainContext;
typedef struct _GDBusConnection GDBusConnection;
typedef struct _GCancellable GCancellable;
typedef struct _GAsyncResult GAsyncResult;
typedef struct _GVariant GVariant;

namespace dvengine {

class CPortalSession {
public:
    CPortalSession() = default;
    ~CPortalSession();
    CPortalSession(const CPortalSession&) = delete;
    CPortalSession& operator=(const CPortalSession&) = delete;

    // Asks the portal for one monitor with the cursor in its picture, kept
    // until revoked, and opens its PipeWire remote. S_OK with *pFd (ours to
    // close) and *pNode; DV_E_NO_PORTAL when no portal offers screen casts
    // on the session bus; DV_E_PORTAL_REFUSED when the user refused or did
    // not answer by nDeadlineUs; DV_E_NO_DISPLAY when the portal failed.
    HRESULT Open(int64_t nDeadlineUs, int* pFd, uint32_t* pNode);

    // True once the portal (the compositor, or the user) closed the session.
    bool IsClosed();

    // Ends the session; idempotent, never waits on the portal.
    void Close();

private:
    struct CAnswer;
    HRESULT Ask(const std::string& strRestore, uint32_t nCursor, bool bPersist, int64_t nDeadlineUs,
                int* pFd, uint32_t* pNode, std::string* pstrToken);
    void EndSession();
    static void OnClosed(GDBusConnection*, const char*, const char*, const char*, const char*,
                         GVariant*, void* pData);
    HRESULT Call(const char* pszInterface, const char* pszMethod, GVariant* pArgs,
                 int64_t nDeadlineUs, GVariant** ppReply, int* pFd = nullptr);
    HRESULT Request(const char* pszMethod, GVariant* pArgs, const std::string& strToken,
                    int64_t nDeadlineUs, GVariant** ppResults);
    GAsyncResult* Await(int64_t nDeadlineUs);
    std::string NextToken();

    GMainContext* m_pContext = nullptr;
    GDBusConnection* m_pBus = nullptr;
    GCancellable* m_pCancel = nullptr;
    GAsyncResult* m_pSlot = nullptr;  // the answer to the call in flight
    std::string m_strSender;          // our unique name as request paths spell it
    std::string m_strSession;
    unsigned m_nClosedSignal = 0;
    unsigned m_nTokens = 0;
    std::atomic<bool> m_bClosed{false};
};

}  // namespace dvengine
