#include "tests/engine/ScriptedTarget.h"

#include "tests/engine/ScriptedEngine.h"

CScriptedTarget::CScriptedTarget() {
    scripted::Register();
    scripted::Reset();
}

CScriptedTarget::~CScriptedTarget() {
    m_pInstance.reset();
}

void CScriptedTarget::Create() {
    m_pInstance.reset(new CWMEncDeskVid);
}

void CScriptedTarget::Destroy() {
    m_pInstance.reset();
}

int32_t CScriptedTarget::Control(int nCommand, const CAPTURE_PARAMS* p) {
    return m_pInstance->Control(nCommand, p);
}

std::vector<std::string> CScriptedTarget::TakeJournal() {
    std::vector<std::string> journal = scripted::Journal();
    std::vector<std::string> taken(journal.begin() + static_cast<std::ptrdiff_t>(m_nTaken),
                                   journal.end());
    m_nTaken = journal.size();
    return taken;
}

void CScriptedTarget::FailNth(const std::string& op, int n, int32_t hr) {
    scripted::FailNth(op, n, hr);
}

int CScriptedTarget::LiveObjects() {
    return scripted::LiveObjects();
}
