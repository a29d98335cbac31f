#include "engine/linux/screen/PortalSource.h"

namespace dvlinux {

// Placeholder until the portal source lands.
std::unique_ptr<IScreenSource> CreatePortalSource() {
    return nullptr;
}

}  // namespace dvlinux
