#include "engine/linux/screen/PortalSession.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "deskvid/deskvid_status.h"
#include "engine/linux/screen/PortalToken.h"

namespace dvengine {
namespace {

const char kPortal[] = "org.freedesktop.portal.Desktop";
const char kPortalPath[] = "/org/freedesktop/portal/desktop";
const char kScreenCast[] = "org.freedesktop.portal.ScreenCast";
const char kSessionInterface[] = "org.freedesktop.portal.Session";

// The ScreenCast interface's values.
const guint32 kSourceMonitor = 1;
const guint32 kCursorHidden = 1;
const guint32 kCursorEmbedded = 2;
const guint32 kPersistUntilRevoked = 2;
const guint32 kPersistSinceVersion = 4;

// How long a call may take once the exchange has timed out and been
// cancelled: GIO completes a cancelled call at once.
const int64_t kCancelGraceUs = 1000000;

int64_t NowUs() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int TimeoutMs(int64_t nDeadlineUs) {
    const int64_t nMs = (nDeadlineUs - NowUs() + 999) / 1000;
    return nMs < 1 ? 1 : nMs > G_MAXINT ? G_MAXINT : static_cast<int>(nMs);
}

// A portal that is not on the bus, or does not offer screen casts.
bool IsMissing(const GError* pError) {
    return g_error_matches(pError, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
           g_error_matches(pError, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
           g_error_matches(pError, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE) ||
           g_error_matches(pError, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
           g_error_matches(pError, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
           g_error_matches(pError, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS) ||
           g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
           g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
           g_error_matches(pError, G_IO_ERROR, G_IO_ERROR_CLOSED);
}

void OnDone(GObject*, GAsyncResult* pResult, gpointer pSlot) {
    *static_cast<GAsyncResult**>(pSlot) = G_ASYNC_RESULT(g_object_ref(pResult));
}

// Runs pContext until bDone() or the deadline; true when done.
template <typename TDone>
bool RunUntil(GMainContext* pContext, TDone bDone, int64_t nDeadlineUs) {
    bool bTimer = false;
    GSource* pTimer = g_timeout_source_new(TimeoutMs(nDeadlineUs));
    g_source_set_callback(
        pTimer,
        [](gpointer p) -> gboolean {
            *static_cast<bool*>(p) = true;
            return G_SOURCE_REMOVE;
        },
        &bTimer, nullptr);
    g_source_attach(pTimer, pContext);
    while (!bDone() && !bTimer && NowUs() < nDeadlineUs) {
        g_main_context_iteration(pContext, TRUE);
    }
    g_source_destroy(pTimer);
    g_source_unref(pTimer);
    return bDone();
}

}  // namespace

struct CPortalSession::CAnswer {
    bool bAnswered = false;
    guint32 nResponse = 2;
    GVariant* pResults = nullptr;

    static void OnResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                           GVariant* pParams, gpointer pData) {
        CAnswer* pAnswer = static_cast<CAnswer*>(pData);
        if (pAnswer->bAnswered || !g_variant_is_of_type(pParams, G_VARIANT_TYPE("(ua{sv})"))) {
            return;
        }
        pAnswer->bAnswered = true;
        g_variant_get(pParams, "(u@a{sv})", &pAnswer->nResponse, &pAnswer->pResults);
    }
};

CPortalSession::~CPortalSession() {
    Close();
}

std::string CPortalSession::NextToken() {
    return "deskvid" + std::to_string(getpid()) + "_" + std::to_string(++m_nTokens);
}

// Waits for the call in flight (m_pSlot) until the deadline; then cancels
// it and allows a short grace, in which GIO completes a cancelled call.
GAsyncResult* CPortalSession::Await(int64_t nDeadlineUs) {
    auto bDone = [this] { return m_pSlot != nullptr; };
    if (!RunUntil(m_pContext, bDone, nDeadlineUs)) {
        g_cancellable_cancel(m_pCancel);
        RunUntil(m_pContext, bDone, NowUs() + kCancelGraceUs);
    }
    GAsyncResult* pResult = m_pSlot;
    m_pSlot = nullptr;
    return pResult;
}

HRESULT CPortalSession::Call(const char* pszInterface, const char* pszMethod, GVariant* pArgs,
                             int64_t nDeadlineUs, GVariant** ppReply, int* pFd) {
    *ppReply = nullptr;
    const char* pszPath =
        std::strcmp(pszInterface, kSessionInterface) == 0 ? m_strSession.c_str() : kPortalPath;
    g_dbus_connection_call_with_unix_fd_list(
        m_pBus, kPortal, pszPath, pszInterface, pszMethod, pArgs, nullptr, G_DBUS_CALL_FLAGS_NONE,
        TimeoutMs(nDeadlineUs), nullptr, m_pCancel, OnDone, &m_pSlot);
    GAsyncResult* pResult = Await(nDeadlineUs);
    if (pResult == nullptr) {
        return DV_E_NO_PORTAL;
    }
    GError* pError = nullptr;
    GUnixFDList* pFds = nullptr;
    GVariant* pReply =
        g_dbus_connection_call_with_unix_fd_list_finish(m_pBus, &pFds, pResult, &pError);
    g_object_unref(pResult);
    HRESULT hr = S_OK;
    if (pReply == nullptr) {
        gchar* pszRemote = g_dbus_error_get_remote_error(pError);
        hr = IsMissing(pError) ? DV_E_NO_PORTAL
             : pszRemote != nullptr &&
                     std::strcmp(pszRemote, "org.freedesktop.portal.Error.NotAllowed") == 0
                 ? DV_E_PORTAL_REFUSED
                 : DV_E_NO_DISPLAY;
        g_free(pszRemote);
        g_error_free(pError);
    } else if (pFd != nullptr) {
        gint32 nIndex = -1;
        if (g_variant_is_of_type(pReply, G_VARIANT_TYPE("(h)"))) {
            g_variant_get(pReply, "(h)", &nIndex);
        }
        *pFd = pFds != nullptr ? g_unix_fd_list_get(pFds, nIndex, nullptr) : -1;
        if (*pFd < 0) {
            hr = DV_E_NO_DISPLAY;
        }
    }
    if (pFds != nullptr) {
        g_object_unref(pFds);
    }
    if (SUCCEEDED(hr)) {
        *ppReply = pReply;
    } else if (pReply != nullptr) {
        g_variant_unref(pReply);
    }
    return hr;
}

// A call answered through a Request object: waits for its Response signal,
// subscribed before the call so that a quick answer is not missed.
HRESULT CPortalSession::Request(const char* pszMethod, GVariant* pArgs, const std::string& strToken,
                                int64_t nDeadlineUs, GVariant** ppResults) {
    *ppResults = nullptr;
    CAnswer answer;
    std::string strPath = "/org/freedesktop/portal/desktop/request/" + m_strSender + "/" + strToken;
    auto subscribe = [&](const char* pszPath) {
        return g_dbus_connection_signal_subscribe(
            m_pBus, kPortal, "org.freedesktop.portal.Request", "Response", pszPath, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &CAnswer::OnResponse, &answer, nullptr);
    };
    guint nSignal = subscribe(strPath.c_str());
    GVariant* pReply = nullptr;
    HRESULT hr = Call(kScreenCast, pszMethod, pArgs, nDeadlineUs, &pReply);
    if (SUCCEEDED(hr) && !g_variant_is_of_type(pReply, G_VARIANT_TYPE("(o)"))) {
        g_variant_unref(pReply);
        hr = DV_E_NO_DISPLAY;
    }
    if (SUCCEEDED(hr)) {
        const char* pszHandle = nullptr;
        g_variant_get(pReply, "(&o)", &pszHandle);
        if (strPath != pszHandle) {
            // A portal older than handle tokens names its own request.
            g_dbus_connection_signal_unsubscribe(m_pBus, nSignal);
            strPath = pszHandle;
            nSignal = subscribe(strPath.c_str());
        }
        g_variant_unref(pReply);
        RunUntil(
            m_pContext, [&answer] { return answer.bAnswered; }, nDeadlineUs);
        if (!answer.bAnswered) {
            // Nobody answered in time: withdraw the question.
            g_dbus_connection_call(m_pBus, kPortal, strPath.c_str(),
                                   "org.freedesktop.portal.Request", "Close", nullptr, nullptr,
                                   G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr, nullptr);
            hr = DV_E_PORTAL_REFUSED;
        } else if (answer.nResponse == 0) {
            *ppResults = answer.pResults;
            answer.pResults = nullptr;
        } else {
            hr = answer.nResponse == 1 ? DV_E_PORTAL_REFUSED : DV_E_NO_DISPLAY;
        }
    }
    g_dbus_connection_signal_unsubscribe(m_pBus, nSignal);
    if (answer.pResults != nullptr) {
        g_variant_unref(answer.pResults);
    }
    return hr;
}

void CPortalSession::OnClosed(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                              const gchar*, GVariant*, gpointer pData) {
    static_cast<CPortalSession*>(pData)->m_bClosed = true;
}

// One exchange: CreateSession, SelectSources, Start, OpenPipeWireRemote.
HRESULT CPortalSession::Ask(const std::string& strRestore, guint32 nCursor, bool bPersist,
                            int64_t nDeadlineUs, int* pFd, uint32_t* pNode,
                            std::string* pstrToken) {
    GVariantBuilder options;
    std::string strToken = NextToken();
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(strToken.c_str()));
    g_variant_builder_add(&options, "{sv}", "session_handle_token",
                          g_variant_new_string(NextToken().c_str()));
    GVariant* pResults = nullptr;
    HRESULT hr = Request("CreateSession", g_variant_new("(a{sv})", &options), strToken, nDeadlineUs,
                         &pResults);
    if (FAILED(hr)) {
        return hr;
    }
    // A string as documented; some portals send an object path.
    if (GVariant* pHandle = g_variant_lookup_value(pResults, "session_handle", nullptr)) {
        if ((g_variant_is_of_type(pHandle, G_VARIANT_TYPE_STRING) ||
             g_variant_is_of_type(pHandle, G_VARIANT_TYPE_OBJECT_PATH)) &&
            g_variant_is_object_path(g_variant_get_string(pHandle, nullptr))) {
            m_strSession = g_variant_get_string(pHandle, nullptr);
        }
        g_variant_unref(pHandle);
    }
    g_variant_unref(pResults);
    if (m_strSession.empty()) {
        return DV_E_NO_DISPLAY;
    }
    m_nClosedSignal = g_dbus_connection_signal_subscribe(
        m_pBus, kPortal, kSessionInterface, "Closed", m_strSession.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &CPortalSession::OnClosed, this, nullptr);

    strToken = NextToken();
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(strToken.c_str()));
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(kSourceMonitor));
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
    g_variant_builder_add(&options, "{sv}", "cursor_mode", g_variant_new_uint32(nCursor));
    if (bPersist) {
        g_variant_builder_add(&options, "{sv}", "persist_mode",
                              g_variant_new_uint32(kPersistUntilRevoked));
        if (!strRestore.empty()) {
            g_variant_builder_add(&options, "{sv}", "restore_token",
                                  g_variant_new_string(strRestore.c_str()));
        }
    }
    hr = Request("SelectSources", g_variant_new("(oa{sv})", m_strSession.c_str(), &options),
                 strToken, nDeadlineUs, &pResults);
    if (FAILED(hr)) {
        return hr;
    }
    g_variant_unref(pResults);

    strToken = NextToken();
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(strToken.c_str()));
    hr = Request("Start", g_variant_new("(osa{sv})", m_strSession.c_str(), "", &options), strToken,
                 nDeadlineUs, &pResults);
    if (FAILED(hr)) {
        return hr;
    }
    bool bNode = false;
    GVariant* pStreams = g_variant_lookup_value(pResults, "streams", G_VARIANT_TYPE("a(ua{sv})"));
    if (pStreams != nullptr) {
        if (g_variant_n_children(pStreams) > 0) {
            g_variant_get_child(pStreams, 0, "(u@a{sv})", pNode, nullptr);
            bNode = true;
        }
        g_variant_unref(pStreams);
    }
    const char* pszRestore = nullptr;
    if (g_variant_lookup(pResults, "restore_token", "&s", &pszRestore)) {
        *pstrToken = pszRestore;
    }
    g_variant_unref(pResults);
    if (!bNode) {
        return DV_E_NO_DISPLAY;
    }

    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    GVariant* pReply = nullptr;
    hr = Call(kScreenCast, "OpenPipeWireRemote",
              g_variant_new("(oa{sv})", m_strSession.c_str(), &options), nDeadlineUs, &pReply, pFd);
    if (SUCCEEDED(hr)) {
        g_variant_unref(pReply);
    }
    return hr;
}

HRESULT CPortalSession::Open(int64_t nDeadlineUs, int* pFd, uint32_t* pNode) {
    *pFd = -1;
    *pNode = 0;
    if (m_pContext != nullptr) {
        return E_UNEXPECTED;
    }
    // The session bus of the environment, never one started on the side
    // (GIO would launch one for an X session that has none).
    std::string strAddress;
    if (const char* psz = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        strAddress = psz;
    } else if (const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR")) {
        const std::string strSocket = std::string(pszRuntime) + "/bus";
        struct stat st = {};
        if (stat(strSocket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            gchar* pszEscaped = g_dbus_address_escape_value(strSocket.c_str());
            strAddress = std::string("unix:path=") + pszEscaped;
            g_free(pszEscaped);
        }
    }
    if (strAddress.empty()) {
        return DV_E_NO_PORTAL;
    }

    m_pContext = g_main_context_new();
    m_pCancel = g_cancellable_new();
    g_main_context_push_thread_default(m_pContext);
    HRESULT hr = DV_E_NO_PORTAL;
    g_dbus_connection_new_for_address(
        strAddress.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, m_pCancel, OnDone, &m_pSlot);
    if (GAsyncResult* pResult = Await(nDeadlineUs)) {
        m_pBus = g_dbus_connection_new_for_address_finish(pResult, nullptr);
        g_object_unref(pResult);
    }
    GVariant* pProperties = nullptr;
    if (m_pBus != nullptr) {
        const char* pszUnique = g_dbus_connection_get_unique_name(m_pBus);
        for (const char* p = pszUnique != nullptr ? pszUnique + 1 : ""; *p != 0; ++p) {
            m_strSender += *p == '.' ? '_' : *p;
        }
        hr = Call("org.freedesktop.DBus.Properties", "GetAll", g_variant_new("(s)", kScreenCast),
                  nDeadlineUs, &pProperties);
    }
    if (SUCCEEDED(hr) && !g_variant_is_of_type(pProperties, G_VARIANT_TYPE("(a{sv})"))) {
        g_variant_unref(pProperties);
        hr = DV_E_NO_PORTAL;
    }
    if (SUCCEEDED(hr)) {
        guint32 nVersion = 0;
        guint32 nCursors = 0;
        GVariant* pAll = g_variant_get_child_value(pProperties, 0);
        g_variant_lookup(pAll, "version", "u", &nVersion);
        g_variant_lookup(pAll, "AvailableCursorModes", "u", &nCursors);
        g_variant_unref(pAll);
        g_variant_unref(pProperties);
        // Without the embedded cursor, a picture without one beats none.
        const guint32 nCursor = (nCursors & kCursorEmbedded) != 0 ? kCursorEmbedded : kCursorHidden;
        const bool bPersist = nVersion >= kPersistSinceVersion;
        const std::string strPath = PortalTokenPath();
        const std::string strRestore = bPersist ? ReadPortalToken(strPath) : std::string();
        std::string strToken;
        hr = nVersion == 0 ? DV_E_NO_PORTAL
                           : Ask(strRestore, nCursor, bPersist, nDeadlineUs, pFd, pNode, &strToken);
        if (hr == DV_E_NO_DISPLAY && !strRestore.empty()) {
            // What the token restored may be gone: forget it and ask afresh.
            EndSession();
            hr = Ask(std::string(), nCursor, bPersist, nDeadlineUs, pFd, pNode, &strToken);
        }
        if (bPersist && (SUCCEEDED(hr) || hr == DV_E_PORTAL_REFUSED || !strRestore.empty())) {
            WritePortalToken(strPath, SUCCEEDED(hr) ? strToken : std::string());
        }
    }
    g_main_context_pop_thread_default(m_pContext);
    if (FAILED(hr)) {
        Close();
    }
    return hr;
}

bool CPortalSession::IsClosed() {
    if (m_pContext == nullptr) {
        return true;
    }
    while (g_main_context_iteration(m_pContext, FALSE)) {
    }
    return m_bClosed || g_dbus_connection_is_closed(m_pBus);
}

// Withdraws the portal session, without waiting for the portal's answer.
void CPortalSession::EndSession() {
    if (m_nClosedSignal != 0) {
        g_dbus_connection_signal_unsubscribe(m_pBus, m_nClosedSignal);
        m_nClosedSignal = 0;
    }
    if (!m_strSession.empty() && !m_bClosed) {
        g_dbus_connection_call(m_pBus, kPortal, m_strSession.c_str(), kSessionInterface, "Close",
                               nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr,
                               nullptr);
    }
    m_strSession.clear();
}

void CPortalSession::Close() {
    if (m_pBus != nullptr) {
        EndSession();
        // The portal ends the sessions of a client that leaves the bus, so a
        // Close call that does not get out first does no harm. The closing
        // completes on our own context, never on the caller's.
        g_main_context_push_thread_default(m_pContext);
        if (m_pSlot == nullptr) {
            g_dbus_connection_close(m_pBus, nullptr, OnDone, &m_pSlot);
            RunUntil(
                m_pContext, [this] { return m_pSlot != nullptr; }, NowUs() + kCancelGraceUs);
        }
        g_main_context_pop_thread_default(m_pContext);
        g_object_unref(m_pBus);
        m_pBus = nullptr;
    }
    if (m_pContext != nullptr) {
        while (g_main_context_iteration(m_pContext, FALSE)) {
        }
    }
    if (m_pSlot != nullptr) {
        g_object_unref(m_pSlot);
        m_pSlot = nullptr;
    }
    if (m_pCancel != nullptr) {
        g_object_unref(m_pCancel);
        m_pCancel = nullptr;
    }
    if (m_pContext != nullptr) {
        g_main_context_unref(m_pContext);
        m_pContext = nullptr;
    }
    m_bClosed = true;
}

}  // namespace dvengine
