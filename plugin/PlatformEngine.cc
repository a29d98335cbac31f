// Registers this platform's encoder engine when the library is loaded, so
// that the first start of an instance finds its classes. Built into the
// shared library itself: a static archive member that nothing refers to
// would be dropped, and its registration with it.
#if defined(DESKVID_ENGINE_LINUX)
#include "engine/core/OwnEngine.h"
#elif defined(DESKVID_ENGINE_WINDOWS)
#include "engine/windows/EngineChoice.h"
#elif defined(DESKVID_ENGINE_AUTOMATION)
#include "engine/automation/AutomationEngine.h"
#endif

namespace {

struct CPlatformEngine {
    CPlatformEngine() {
#if defined(DESKVID_ENGINE_LINUX)
        OwnEngineRegister();
#elif defined(DESKVID_ENGINE_WINDOWS)
        WindowsEnginesRegister();
#elif defined(DESKVID_ENGINE_AUTOMATION)
        AutomationEngineRegister();
#endif
        // With no engine built in, starts fail with "class not registered".
    }
};

CPlatformEngine g_platformEngine;

}  // namespace
