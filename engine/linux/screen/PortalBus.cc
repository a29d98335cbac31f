#include "engine/linux/screen/PortalBus.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "deskvid/deskvid_status.h"
#include "engine/core/Clock.h"

namespace dvengine {

const char kPortal[] = "org.freedesktop.portal.Desktop";
const char kPortalPath[] = "/org/freedesktop/portal/desktop";
const char kScreenCast[] = "org.freedesktop.portal.ScreenCast";
const char kSessionInterface[] = "org.freedesktop.portal.Session";

namespace {

// How long a call may take once the exchange has timed out and been
// cancelled: GIO completes a cancelled call at once.
const int64_t kCancelGraceUs = 1000000;

int TimeoutMs(int64_t nDeadlineUs) {
    const int64_t nMs = (nDeadlineUs - MonotonicUs() + 999) / 1000;
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

// The session bus's address from the environment; empty when there is none
// (GIO would launch a bus for an X session that has none).
std::string BusAddress() {
    if (const char* psz = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        return psz;
    }
    const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR");
    if (pszRuntime == nullptr) {
        return std::string();
    }
    const std::string strSocket = std::string(pszRuntime) + "/bus";
    struct stat st = {};
    if (stat(strSocket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return std::string();
    }
    gchar* pszEscaped = g_dbus_address_escape_value(strSocket.c_str());
    const std::string strAddress = std::string("unix:path=") + pszEscaped;
    g_free(pszEscaped);
    return strAddress;
}

}  // namespace

struct CPortalBus::CAnswer {
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

CPortalBus::~CPortalBus() {
    Close();
}

std::string CPortalBus::NextToken() {
    return "deskvid" + std::to_string(getpid()) + "_" + std::to_string(++m_nTokens);
}

bool CPortalBus::RunUntil(const std::function<bool()>& bDone, int64_t nDeadlineUs) {
    bool bTimer = false;
    GSource* pTimer = g_timeout_source_new(TimeoutMs(nDeadlineUs));
    g_source_set_callback(
        pTimer,
        [](gpointer p) -> gboolean {
            *static_cast<bool*>(p) = true;
            return G_SOURCE_REMOVE;
        },
        &bTimer, nullptr);
    g_source_attach(pTimer, m_pContext);
    while (!bDone() && !bTimer && MonotonicUs() < nDeadlineUs) {
        g_main_context_iteration(m_pContext, TRUE);
    }
    g_source_destroy(pTimer);
    g_source_unref(pTimer);
    return bDone();
}

void CPortalBus::Dispatch() {
    while (m_pContext != nullptr && g_main_context_iteration(m_pContext, FALSE)) {
    }
}

bool CPortalBus::Closed() const {
    return m_pBus == nullptr || g_dbus_connection_is_closed(m_pBus);
}

// Waits for the call in flight (m_pSlot) until the deadline; then cancels
// it and allows a short grace, in which GIO completes a cancelled call.
GAsyncResult* CPortalBus::Await(int64_t nDeadlineUs) {
    auto bDone = [this] { return m_pSlot != nullptr; };
    if (!RunUntil(bDone, nDeadlineUs)) {
        g_cancellable_cancel(m_pCancel);
        RunUntil(bDone, MonotonicUs() + kCancelGraceUs);
    }
    GAsyncResult* pResult = m_pSlot;
    m_pSlot = nullptr;
    return pResult;
}

HRESULT CPortalBus::Connect(int64_t nDeadlineUs) {
    const std::string strAddress = BusAddress();
    if (m_pContext != nullptr || strAddress.empty()) {
        return DV_E_NO_PORTAL;
    }
    m_pContext = g_main_context_new();
    m_pCancel = g_cancellable_new();
    g_main_context_push_thread_default(m_pContext);
    g_dbus_connection_new_for_address(
        strAddress.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, m_pCancel, OnDone, &m_pSlot);
    if (GAsyncResult* pResult = Await(nDeadlineUs)) {
        m_pBus = g_dbus_connection_new_for_address_finish(pResult, nullptr);
        g_object_unref(pResult);
    }
    g_main_context_pop_thread_default(m_pContext);
    if (m_pBus == nullptr) {
        return DV_E_NO_PORTAL;
    }
    const char* pszUnique = g_dbus_connection_get_unique_name(m_pBus);
    for (const char* p = pszUnique != nullptr ? pszUnique + 1 : ""; *p != 0; ++p) {
        m_strSender += *p == '.' ? '_' : *p;
    }
    return S_OK;
}

HRESULT CPortalBus::Call(const char* pszPath, const char* pszInterface, const char* pszMethod,
                         GVariant* pArgs, int64_t nDeadlineUs, GVariant** ppReply, int* pFd) {
    *ppReply = nullptr;
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

// Waits for the request's Response signal, subscribed before the call so
// that a quick answer is not missed.
HRESULT CPortalBus::Request(const char* pszMethod, GVariant* pArgs, const std::string& strToken,
                            int64_t nDeadlineUs, GVariant** ppResults) {
    *ppResults = nullptr;
    CAnswer answer;
    std::string strPath = std::string(kPortalPath) + "/request/" + m_strSender + "/" + strToken;
    auto subscribe = [&](const char* pszPath) {
        return g_dbus_connection_signal_subscribe(
            m_pBus, kPortal, "org.freedesktop.portal.Request", "Response", pszPath, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &CAnswer::OnResponse, &answer, nullptr);
    };
    guint nSignal = subscribe(strPath.c_str());
    GVariant* pReply = nullptr;
    HRESULT hr = Call(kPortalPath, kScreenCast, pszMethod, pArgs, nDeadlineUs, &pReply);
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
        RunUntil([&answer] { return answer.bAnswered; }, nDeadlineUs);
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

void CPortalBus::Close() {
    if (m_pBus != nullptr) {
        // The portal ends the sessions of a client that leaves the bus, so a
        // Close call that does not get out first does no harm. The closing
        // completes on our own context, never on the caller's.
        g_main_context_push_thread_default(m_pContext);
        if (m_pSlot == nullptr) {
            g_dbus_connection_close(m_pBus, nullptr, OnDone, &m_pSlot);
            RunUntil([this] { return m_pSlot != nullptr; }, MonotonicUs() + kCancelGraceUs);
        }
        g_main_context_pop_thread_default(m_pContext);
        g_object_unref(m_pBus);
        m_pBus = nullptr;
    }
    Dispatch();
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
}

}  // namespace dvengine
