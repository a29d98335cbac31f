// The Windows desktop as a screen source: every monitor of the virtual
// screen, cursor included.
#pragma once

#include <memory>

#include "engine/core/ScreenSource.h"

namespace dvengine {

// bDuplication: try DXGI Desktop Duplication first, falling back to GDI on
// any failure of it (at start or later); false: GDI alone.
std::unique_ptr<IScreenSource> CreateDesktopSource(bool bDuplication);

}  // namespace dvengine
