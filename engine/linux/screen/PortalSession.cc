#include "engine/linux/screen/PortalSession.h"

#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>

#include "deskvid/deskvid_status.h"
#include "engine/linux/screen/PortalToken.h"

namespace dvengine {
namespace {

// The ScreenCast interface's values.
const guint32 kSourceMonitor = 1;
const guint32 kCursorHidden = 1;
const guint32 kCursorEmbedded = 2;
const guint32 kPersistUntilRevoked = 2;
const guint32 kPersistSinceVersion = 4;

// A portal backend that fell over is started again by the bus: the second
// question waits this long.
const int64_t kRetryUs = 1000000;

// A vardict builder holding the request's handle token.
void Begin(GVariantBuilder* pOptions, const std::string& strHandle) {
    g_variant_builder_init(pOptions, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(pOptions, "{sv}", "handle_token",
                          g_variant_new_string(strHandle.c_str()));
}

// The monitors of the Start response, in its order; where each lies when
// the portal tells (KDE does not).
std::vector<CDesktopStream> Streams(GVariant* pResults) {
    std::vector<CDesktopStream> vStreams;
    GVariant* pStreams = g_variant_lookup_value(pResults, "streams", G_VARIANT_TYPE("a(ua{sv})"));
    if (pStreams == nullptr) {
        return vStreams;
    }
    for (gsize i = 0; i < g_variant_n_children(pStreams); ++i) {
        CDesktopStream stream;
        GVariant* pProperties = nullptr;
        g_variant_get_child(pStreams, i, "(u@a{sv})", &stream.nNode, &pProperties);
        stream.bPositioned =
            g_variant_lookup(pProperties, "position", "(ii)", &stream.x, &stream.y) != FALSE;
        g_variant_unref(pProperties);
        vStreams.push_back(stream);
    }
    g_variant_unref(pStreams);
    return vStreams;
}

}  // namespace

CPortalSession::~CPortalSession() {
    Close();
}

void CPortalSession::OnClosed(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                              const gchar*, GVariant*, gpointer pData) {
    static_cast<CPortalSession*>(pData)->m_bClosed = true;
}

// SelectSources: every monitor, the cursor, and what to restore.
HRESULT CPortalSession::Select(const std::string& strRestore, guint32 nCursor, bool bPersist,
                               int64_t nDeadlineUs) {
    const std::string strToken = m_bus.NextToken();
    GVariantBuilder options;
    Begin(&options, strToken);
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(kSourceMonitor));
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(TRUE));
    g_variant_builder_add(&options, "{sv}", "cursor_mode", g_variant_new_uint32(nCursor));
    if (bPersist) {
        g_variant_builder_add(&options, "{sv}", "persist_mode",
                              g_variant_new_uint32(kPersistUntilRevoked));
        if (!strRestore.empty()) {
            g_variant_builder_add(&options, "{sv}", "restore_token",
                                  g_variant_new_string(strRestore.c_str()));
        }
    }
    GVariant* pResults = nullptr;
    const HRESULT hr =
        m_bus.Request("SelectSources", g_variant_new("(oa{sv})", m_strSession.c_str(), &options),
                      strToken, nDeadlineUs, &pResults);
    if (SUCCEEDED(hr)) {
        g_variant_unref(pResults);
    }
    return hr;
}

// One exchange: CreateSession, SelectSources, Start, OpenPipeWireRemote.
HRESULT CPortalSession::Ask(const std::string& strRestore, guint32 nCursor, bool bPersist,
                            int64_t nDeadlineUs, int* pFd, std::vector<CDesktopStream>* pvStreams,
                            std::string* pstrToken) {
    m_bClosed = false;
    std::string strToken = m_bus.NextToken();
    GVariantBuilder options;
    Begin(&options, strToken);
    g_variant_builder_add(&options, "{sv}", "session_handle_token",
                          g_variant_new_string(m_bus.NextToken().c_str()));
    GVariant* pResults = nullptr;
    HRESULT hr = m_bus.Request("CreateSession", g_variant_new("(a{sv})", &options), strToken,
                               nDeadlineUs, &pResults);
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
        m_bus.Bus(), kPortal, kSessionInterface, "Closed", m_strSession.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &CPortalSession::OnClosed, this, nullptr);

    hr = Select(strRestore, nCursor, bPersist, nDeadlineUs);
    if (FAILED(hr)) {
        return hr;
    }
    strToken = m_bus.NextToken();
    Begin(&options, strToken);
    hr = m_bus.Request("Start", g_variant_new("(osa{sv})", m_strSession.c_str(), "", &options),
                       strToken, nDeadlineUs, &pResults);
    if (FAILED(hr)) {
        return hr;
    }
    *pvStreams = Streams(pResults);
    const char* pszRestore = nullptr;
    if (g_variant_lookup(pResults, "restore_token", "&s", &pszRestore)) {
        *pstrToken = pszRestore;
    }
    g_variant_unref(pResults);
    if (pvStreams->empty()) {
        return DV_E_NO_DISPLAY;
    }
    GVariant* pReply = nullptr;
    hr = m_bus.Call(kPortalPath, kScreenCast, "OpenPipeWireRemote",
                    g_variant_new("(o@a{sv})", m_strSession.c_str(),
                                  g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
                    nDeadlineUs, &pReply, pFd);
    if (SUCCEEDED(hr)) {
        g_variant_unref(pReply);
    }
    return hr;
}

HRESULT CPortalSession::Open(int64_t nDeadlineUs, int* pFd,
                             std::vector<CDesktopStream>* pvStreams) {
    *pFd = -1;
    pvStreams->clear();
    if (m_bus.Context() != nullptr) {
        return E_UNEXPECTED;
    }
    HRESULT hr = m_bus.Connect(nDeadlineUs);
    if (FAILED(hr)) {
        Close();
        return hr;
    }
    g_main_context_push_thread_default(m_bus.Context());
    GVariant* pProperties = nullptr;
    hr = m_bus.Call(kPortalPath, "org.freedesktop.DBus.Properties", "GetAll",
                    g_variant_new("(s)", kScreenCast), nDeadlineUs, &pProperties);
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
        hr = nVersion == 0
                 ? DV_E_NO_PORTAL
                 : Ask(strRestore, nCursor, bPersist, nDeadlineUs, pFd, pvStreams, &strToken);
        if (FAILED(hr) && hr != DV_E_PORTAL_REFUSED && nVersion != 0) {
            // The backend may have fallen over (the bus starts it again), or
            // what the token restored may be gone: ask once more, a second
            // later, without the token.
            EndSession();
            m_bus.RunUntil([] { return false; }, std::min(nDeadlineUs, MonotonicUs() + kRetryUs));
            hr = Ask(std::string(), nCursor, bPersist, nDeadlineUs, pFd, pvStreams, &strToken);
        }
        if (bPersist && (SUCCEEDED(hr) || hr == DV_E_PORTAL_REFUSED || !strRestore.empty())) {
            WritePortalToken(strPath, SUCCEEDED(hr) ? strToken : std::string());
        }
    }
    g_main_context_pop_thread_default(m_bus.Context());
    if (FAILED(hr)) {
        Close();
    }
    return hr;
}

bool CPortalSession::IsClosed() {
    m_bus.Dispatch();
    return m_bClosed || m_bus.Closed();
}

// Withdraws the portal session, without waiting for the portal's answer.
void CPortalSession::EndSession() {
    if (m_nClosedSignal != 0) {
        g_dbus_connection_signal_unsubscribe(m_bus.Bus(), m_nClosedSignal);
        m_nClosedSignal = 0;
    }
    if (!m_strSession.empty() && !m_bClosed) {
        g_dbus_connection_call(m_bus.Bus(), kPortal, m_strSession.c_str(), kSessionInterface,
                               "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 1000, nullptr,
                               nullptr, nullptr);
    }
    m_strSession.clear();
}

void CPortalSession::Close() {
    if (m_bus.Bus() != nullptr) {
        EndSession();
    }
    m_bus.Close();
    m_bClosed = true;
}

}  // namespace dvengine
