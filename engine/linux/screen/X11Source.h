// The screen of an X server, through XCB.
#pragma once

#include <memory>

#include "engine/core/ScreenSource.h"

namespace dvengine {

// pszDisplay null: $DISPLAY.
std::unique_ptr<IScreenSource> CreateX11Source(const char* pszDisplay,
                                               const CScreenOptions& options = {});

}  // namespace dvengine
