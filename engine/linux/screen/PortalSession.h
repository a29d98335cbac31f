// The desktop portal's side of a Wayland screen: a ScreenCast session, from
// the user's consent to the PipeWire remote that carries every monitor's
// picture, and the restore token that spares the user the next question.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/linux/screen/PipeWireDesktop.h"
#include "engine/linux/screen/PortalBus.h"

namespace dvengine {

class CPortalSession {
public:
    CPortalSession() = default;
    ~CPortalSession();
    CPortalSession(const CPortalSession&) = delete;
    CPortalSession& operator=(const CPortalSession&) = delete;

    // Asks the portal for every monitor with the cursor in their pictures,
    // kept until revoked, and opens their PipeWire remote. S_OK with *pFd
    // (ours to close) and one stream per monitor, in the portal's order;
    // DV_E_NO_PORTAL when no portal offers screen casts on the session bus;
    // DV_E_PORTAL_REFUSED when the user refused or did not answer by
    // nDeadlineUs; DV_E_NO_DISPLAY when the portal failed, also when asked
    // a second time.
    HRESULT Open(int64_t nDeadlineUs, int* pFd, std::vector<CDesktopStream>* pvStreams);

    // True once the portal (the compositor, or the user) closed the session.
    bool IsClosed();

    // Ends the session; idempotent, never waits on the portal.
    void Close();

private:
    HRESULT Ask(const std::string& strRestore, uint32_t nCursor, bool bPersist, int64_t nDeadlineUs,
                int* pFd, std::vector<CDesktopStream>* pvStreams, std::string* pstrToken);
    HRESULT Select(const std::string& strRestore, uint32_t nCursor, bool bPersist,
                   int64_t nDeadlineUs);
    void EndSession();
    static void OnClosed(GDBusConnection*, const char*, const char*, const char*, const char*,
                         GVariant*, void* pData);

    CPortalBus m_bus;
    std::string m_strSession;
    unsigned m_nClosedSignal = 0;
    std::atomic<bool> m_bClosed{false};
};

}  // namespace dvengine
