#include "engine/core/ScreenSource.h"

#include <cstdlib>
#include <string>

#include "deskvid/deskvid_status.h"
#include "engine/core/SyntheticSource.h"
#include "engine/windows/screen/GdiSource.h"

namespace dvengine {
namespace {

// What the session gets when no source can be made: a screen that is not
// there.
class CMissingScreen final : public IScreenSource {
public:
    HRESULT Start(int64_t) override { return DV_E_NO_DISPLAY; }
    HRESULT Grab(int64_t, CScreenFrame*) override { return DV_E_NO_DISPLAY; }
    bool WaitForChange(int64_t) override { return false; }
    void Stop() override {}
};

}  // namespace

// DESKVID_SCREEN: "synthetic[:options]" for tests, "gdi" for GDI alone;
// otherwise the desktop through DXGI Desktop Duplication, falling back to
// GDI wherever duplication fails. Neither can ask for fewer pictures: the
// session takes what it needs.
std::unique_ptr<IScreenSource> CreateScreenSource(const CScreenOptions&) {
    const char* pszChoice = std::getenv("DESKVID_SCREEN");
    const std::string strChoice = pszChoice != nullptr ? pszChoice : "";
    std::unique_ptr<IScreenSource> pSource;
    if (strChoice == "synthetic" || strChoice.compare(0, 10, "synthetic:") == 0) {
        CSyntheticScreenOptions options;
        if (ParseSyntheticScreenOptions(strChoice.size() > 10 ? strChoice.substr(10) : "",
                                        &options)) {
            pSource = CreateSyntheticSource(options);
        }
    } else if (strChoice == "gdi") {
        pSource = CreateDesktopSource(false);
    } else if (strChoice.empty()) {
        pSource = CreateDesktopSource(true);
    }
    if (!pSource) {
        pSource = std::make_unique<CMissingScreen>();
    }
    return pSource;
}

}  // namespace dvengine
