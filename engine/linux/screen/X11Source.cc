#include "engine/linux/screen/X11Source.h"

namespace dvlinux {

// Placeholder until the XCB source lands.
std::unique_ptr<IScreenSource> CreateX11Source(const char*) {
    return nullptr;
}

}  // namespace dvlinux
