// The desktop: DXGI Desktop Duplication where the system offers it, GDI
// wherever it does not or stops working (a lost duplication, a display
// change, a desktop switch: GDI follows those on its own).
#include <new>

#include "engine/windows/screen/GdiSource.h"

namespace dvengine {
namespace {

class CDesktopSource final : public IScreenSource {
public:
    explicit CDesktopSource(bool bDuplication) : m_bDuplication(bDuplication) {}
    ~CDesktopSource() override { Stop(); }

    HRESULT Start(int64_t nDeadlineUs) override {
        if (m_bDuplication) {
            m_pSource = CreateDxgiSource();
            if (m_pSource && m_pSource->Start(nDeadlineUs) == S_OK) {
                return S_OK;
            }
        }
        return FallBack(nDeadlineUs);
    }

    HRESULT Grab(int64_t nDeadlineUs, CScreenFrame* pFrame) override {
        if (!m_pSource) {
            return E_OUTOFMEMORY;
        }
        HRESULT hr = m_pSource->Grab(nDeadlineUs, pFrame);
        if (FAILED(hr) && !m_bGdi) {
            // GDI grabs whether or not its start could reach the desktop just
            // now (a desktop switch under way): one it cannot copy is a gap.
            FallBack(nDeadlineUs);
            hr = m_pSource ? m_pSource->Grab(nDeadlineUs, pFrame) : E_OUTOFMEMORY;
        }
        return hr;
    }

    bool WaitForChange(int64_t nDeadlineUs) override {
        return m_pSource && m_pSource->WaitForChange(nDeadlineUs);
    }

    void Stop() override {
        if (m_pSource) {
            m_pSource->Stop();
        }
    }

private:
    HRESULT FallBack(int64_t nDeadlineUs) {
        if (m_pSource) {
            m_pSource->Stop();
        }
        m_bGdi = true;
        m_pSource = CreateGdiSource();
        return m_pSource ? m_pSource->Start(nDeadlineUs) : E_OUTOFMEMORY;
    }

    const bool m_bDuplication;
    bool m_bGdi = false;
    std::unique_ptr<IScreenSource> m_pSource;
};

}  // namespace

std::unique_ptr<IScreenSource> CreateDesktopSource(bool bDuplication) {
    return std::unique_ptr<IScreenSource>(new (std::nothrow) CDesktopSource(bDuplication));
}

}  // namespace dvengine
