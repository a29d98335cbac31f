// The screen of a Wayland desktop, through the desktop portal's ScreenCast
// interface and a PipeWire stream.
#pragma once

#include <memory>

#include "engine/core/ScreenSource.h"

namespace dvengine {

std::unique_ptr<IScreenSource> CreatePortalSource();

}  // namespace dvengine
