// The screen of an X server, through XCB.
#pragma once

#include <memory>

#include "engine/linux/screen/ScreenSource.h"

namespace dvlinux {

// pszDisplay null: $DISPLAY.
std::unique_ptr<IScreenSource> CreateX11Source(const char* pszDisplay);

}  // namespace dvlinux
