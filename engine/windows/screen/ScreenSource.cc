#include "engine/core/ScreenSource.h"

#include "engine/windows/screen/GdiSource.h"

namespace dvengine {

// "gdi" for GDI alone; by default the desktop through DXGI Desktop
// Duplication, falling back to GDI wherever duplication fails. Neither can
// ask for fewer pictures: the session takes what it needs.
std::unique_ptr<IScreenSource> CreatePlatformScreenSource(const std::string& strChoice,
                                                          const CScreenOptions&) {
    if (strChoice == "gdi") {
        return CreateDesktopSource(false);
    }
    if (strChoice.empty()) {
        return CreateDesktopSource(true);
    }
    return nullptr;
}

}  // namespace dvengine
