// Which screen source a recording opens: the synthetic one for tests, or
// what the platform offers for the process's DESKVID_SCREEN choice.
#include <cstdlib>
#include <new>
#include <string>

#include "deskvid/deskvid_status.h"
#include "engine/core/ScreenSource.h"
#include "engine/core/SyntheticSource.h"
#include "port/port.h"

namespace dvengine {
namespace {

// What the session gets when no source can be made: a screen that is not
// there.
class CMissingScreen final : public IScreenSource {
public:
    HRESULT Start(int64_t) override { return DV_E_NO_DISPLAY; }
    HRESULT Grab(int64_t, CScreenFrame*) override { return DV_E_NO_DISPLAY; }
    bool WaitForChange(int64_t) override { return false; }
    void Stop() override {}
};

}  // namespace

std::unique_ptr<IScreenSource> CreateScreenSource(const CScreenOptions& options) {
    std::string strChoice;
    port::GetEnvironment("DESKVID_SCREEN", &strChoice);
    std::unique_ptr<IScreenSource> pSource;
    if (strChoice == "synthetic" || strChoice.compare(0, 10, "synthetic:") == 0) {
        CSyntheticScreenOptions synthetic;
        if (ParseSyntheticScreenOptions(strChoice.size() > 10 ? strChoice.substr(10) : "",
                                        &synthetic)) {
            pSource = CreateSyntheticSource(synthetic);
        }
    } else {
        pSource = CreatePlatformScreenSource(strChoice, options);
    }
    if (!pSource) {
        pSource = std::make_unique<CMissingScreen>();
    }
    return pSource;
}

}  // namespace dvengine
