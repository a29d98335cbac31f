// The screen of a Wayland desktop, through the desktop portal's ScreenCast
// interface and a PipeWire stream.
#pragma once

#include <memory>

#include "engine/core/ScreenSource.h"

namespace dvengine {

// Asks PipeWire for no more pictures a second than options' frame rate.
std::unique_ptr<IScreenSource> CreatePortalSource(const CScreenOptions& options = CScreenOptions());

}  // namespace dvengine
