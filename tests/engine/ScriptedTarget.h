// A scenario target that drives one CWMEncDeskVid directly over the scripted
// engine. Constructing it registers the engine and clears its journal.
#pragma once

#include <cstddef>
#include <memory>

#include "capture/WMEncDeskVid.h"
#include "tests/engine/Scenario.h"

class CScriptedTarget final : public IScenarioTarget {
public:
    CScriptedTarget();
    ~CScriptedTarget() override;

    void Create() override;
    void Destroy() override;
    int32_t Control(int nCommand, const CAPTURE_PARAMS* p) override;
    std::vector<std::string> TakeJournal() override;
    void FailNth(const std::string& op, int n, int32_t hr) override;
    int LiveObjects() override;

private:
    std::unique_ptr<CWMEncDeskVid> m_pInstance;
    size_t m_nTaken = 0;
};
