#include "engine/linux/screen/PortalSource.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "deskvid/deskvid_status.h"
#include "engine/linux/screen/PipeWireDesktop.h"
#include "engine/linux/screen/PortalSession.h"

namespace dvengine {
namespace {

// How long Start() waits for the portal: a person may have to answer its
// question first, which the session's own start deadline does not allow for.
const int64_t kConsentUs = 30 * 1000000;
// The PipeWire connection once the portal has answered.
const int64_t kConnectUs = 2 * 1000000;
// WaitForChange() looks at the portal session this often.
const int64_t kSessionCheckUs = 250 * 1000;

// The screen of a Wayland desktop: the portal session grants it, PipeWire
// streams carry its monitors. Pictures come only when the screen changes, so
// Grab() never waits for one.
class CPortalSource final : public IScreenSource {
public:
    explicit CPortalSource(const CScreenOptions& options) : m_options(options) {}
    ~CPortalSource() override { Stop(); }

    HRESULT Start(int64_t nDeadlineUs) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        int nFd = -1;
        std::vector<CDesktopStream> vStreams;
        HRESULT hr =
            m_session.Open(std::max(nDeadlineUs, MonotonicUs() + kConsentUs), &nFd, &vStreams);
        if (SUCCEEDED(hr)) {
            // The connection's own deadline counts from the answer.
            hr = m_desktop.Start(nFd, vStreams, m_options.nFpsTimes1000,
                                 std::max(nDeadlineUs, MonotonicUs() + kConnectUs));
        }
        if (FAILED(hr)) {
            m_session.Close();
            m_bLost = true;
        }
        return hr;
    }

    HRESULT Grab(int64_t, CScreenFrame* pFrame) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bLost || m_session.IsClosed()) {
            m_bLost = true;
            return DV_E_NO_DISPLAY;
        }
        const HRESULT hr = m_desktop.Grab(pFrame);
        m_bLost = hr == DV_E_NO_DISPLAY;
        return hr;
    }

    bool Size(int* pnWidth, int* pnHeight) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_bLost && m_desktop.Size(pnWidth, pnHeight);
    }

    bool WaitForChange(int64_t nDeadlineUs) override {
        for (;;) {
            const int64_t nSliceUs = std::min(nDeadlineUs, MonotonicUs() + kSessionCheckUs);
            if (m_desktop.WaitForChange(nSliceUs)) {
                return true;
            }
            {
                // A closed session is news for Grab() to tell.
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_bLost || m_session.IsClosed()) {
                    return true;
                }
            }
            if (nSliceUs >= nDeadlineUs) {
                return false;
            }
        }
    }

    void Stop() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_desktop.Stop();
        m_session.Close();
        m_bLost = true;
    }

private:
    const CScreenOptions m_options;
    std::mutex m_mutex;  // Start, Grab and Stop, and the session's use
    CPortalSession m_session;
    CPipeWireDesktop m_desktop;
    bool m_bLost = false;
};

}  // namespace

std::unique_ptr<IScreenSource> CreatePortalSource(const CScreenOptions& options) {
    return std::make_unique<CPortalSource>(options);
}

}  // namespace dvengine
