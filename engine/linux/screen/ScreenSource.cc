#include "engine/core/ScreenSource.h"

#include <cstdlib>
#include <cstring>

#include "engine/linux/screen/PortalSource.h"
#include "engine/linux/screen/X11Source.h"

namespace dvengine {
namespace {

bool IsSet(const char* pszName) {
    const char* psz = std::getenv(pszName);
    return psz != nullptr && *psz != 0;
}

}  // namespace

std::unique_ptr<IScreenSource> CreatePlatformScreenSource(const std::string& strChoice,
                                                          const CScreenOptions& options) {
    const char* pszType = std::getenv("XDG_SESSION_TYPE");
    if (strChoice == "x11") {
        return CreateX11Source(nullptr, options);
    }
    if (strChoice == "portal") {
        return CreatePortalSource(options);
    }
    if (!strChoice.empty()) {
        return nullptr;
    }
    if (IsSet("WAYLAND_DISPLAY") || (pszType != nullptr && std::strcmp(pszType, "wayland") == 0)) {
        return CreatePortalSource(options);
    }
    return CreateX11Source(nullptr, options);
}

}  // namespace dvengine
