#include "engine/linux/screen/PortalSource.h"

#include <time.h>

#include <algorithm>
#include <mutex>

#include "deskvid/deskvid_status.h"
#include "engine/linux/screen/PipeWireStream.h"
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

int64_t NowUs() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The screen of a Wayland desktop: the portal session grants it, the
// PipeWire stream carries it. Pictures come only when the screen changes, so
// Grab() never waits for one.
class CPortalSource final : public IScreenSource {
public:
    ~CPortalSource() override { Stop(); }

    HRESULT Start(int64_t nDeadlineUs) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        int nFd = -1;
        uint32_t nNode = 0;
        HRESULT hr = m_session.Open(std::max(nDeadlineUs, NowUs() + kConsentUs), &nFd, &nNode);
        if (SUCCEEDED(hr)) {
            hr = m_stream.Start(nFd, nNode, std::max(nDeadlineUs, NowUs() + kConnectUs));
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
        const HRESULT hr = m_stream.Grab(pFrame);
        m_bLost = FAILED(hr);
        return hr;
    }

    bool WaitForChange(int64_t nDeadlineUs) override {
        for (;;) {
            const int64_t nSliceUs = std::min(nDeadlineUs, NowUs() + kSessionCheckUs);
            if (m_stream.WaitForChange(nSliceUs)) {
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
        m_stream.Stop();
        m_session.Close();
        m_bLost = true;
    }

private:
    std::mutex m_mutex;  // Start, Grab and Stop, and the session's use
    CPortalSession m_session;
    CPipeWireStream m_stream;
    bool m_bLost = false;
};

}  // namespace

std::unique_ptr<IScreenSource> CreatePortalSource() {
    return std::make_unique<CPortalSource>();
}

}  // namespace dvengine
