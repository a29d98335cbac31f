// The Windows desktop as a screen source: every monitor of the virtual
// screen, cursor included.
#pragma once

#include <memory>

#include "engine/core/ScreenSource.h"

namespace dvengine {

// GDI: works wherever there is a desktop; finds changes by comparing tiles.
std::unique_ptr<IScreenSource> CreateGdiSource();

// DXGI Desktop Duplication of every output attached to the desktop, d3d11
// and dxgi loaded at run time. Its Start() fails where duplication is not
// offered; any later failure is for the caller to handle.
std::unique_ptr<IScreenSource> CreateDxgiSource();

// bDuplication: DXGI Desktop Duplication first, falling back to GDI on any
// failure of it (at the start or later); false: GDI alone.
std::unique_ptr<IScreenSource> CreateDesktopSource(bool bDuplication);

}  // namespace dvengine
