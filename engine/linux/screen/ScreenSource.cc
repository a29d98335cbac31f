#include "engine/core/ScreenSource.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "deskvid/deskvid_status.h"
#include "engine/linux/screen/PortalSource.h"
#include "engine/core/SyntheticSource.h"
#include "engine/linux/screen/X11Source.h"

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

bool IsSet(const char* pszName) {
    const char* psz = std::getenv(pszName);
    return psz != nullptr && *psz != 0;
}

}  // namespace

std::unique_ptr<IScreenSource> CreateScreenSource(const CScreenOptions& options) {
    const char* pszChoice = std::getenv("DESKVID_SCREEN");
    const std::string strChoice = pszChoice != nullptr ? pszChoice : "";
    const char* pszType = std::getenv("XDG_SESSION_TYPE");
    std::unique_ptr<IScreenSource> pSource;
    if (strChoice == "synthetic" || strChoice.compare(0, 10, "synthetic:") == 0) {
        CSyntheticScreenOptions synthetic;
        if (ParseSyntheticScreenOptions(strChoice.size() > 10 ? strChoice.substr(10) : "",
                                        &synthetic)) {
            pSource = CreateSyntheticSource(synthetic);
        }
    } else if (strChoice == "x11") {
        pSource = CreateX11Source(nullptr);
    } else if (strChoice == "portal") {
        pSource = CreatePortalSource(options);
    } else if (!strChoice.empty()) {
        // An unknown choice is no screen, rather than some other one.
    } else if (IsSet("WAYLAND_DISPLAY") ||
               (pszType != nullptr && std::strcmp(pszType, "wayland") == 0)) {
        pSource = CreatePortalSource(options);
    } else {
        pSource = CreateX11Source(nullptr);
    }
    if (!pSource) {
        pSource = std::make_unique<CMissingScreen>();
    }
    return pSource;
}

}  // namespace dvengine
