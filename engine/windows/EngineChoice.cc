// The choice is made once, at the first creation of an engine object that
// gets a definite answer, and then kept for the life of the library: every
// instance's encoder and profile come from the same engine, so no instance
// ever mixes the two (an encoder of one with a profile of the other), even
// where an encoder is registered or removed while the host runs.
//
// DESKVID_ENGINE=automation|own forces one. Otherwise the encoder's class is
// looked up the way its creation would find it: registered, the automation
// engine (the contract as written); not registered, our own. Any other
// answer (COM not initialised on the calling thread) decides nothing: the
// automation engine's creation gives that answer, as it always did, and the
// next creation asks again.
#include "engine/windows/EngineChoice.h"

#include <windows.h>

#include <atomic>
#include <cstring>

#include "encoder/WMEncoder.h"
#include "engine/automation/AutomationEngine.h"
#include "engine/core/OwnEngine.h"

namespace {

enum EEngine : int { kUndecided, kAutomation, kOwn };

std::atomic<int> g_engine{kUndecided};

EEngine Forced() {
    char szChoice[16] = {};
    const DWORD cch = GetEnvironmentVariableA("DESKVID_ENGINE", szChoice, sizeof(szChoice));
    if (cch == 0 || cch >= sizeof(szChoice)) {
        return kUndecided;
    }
    return std::strcmp(szChoice, "automation") == 0 ? kAutomation
           : std::strcmp(szChoice, "own") == 0      ? kOwn
                                                    : kUndecided;
}

EEngine Choose() {
    const int nDecided = g_engine.load();
    if (nDecided != kUndecided) {
        return static_cast<EEngine>(nDecided);
    }
    EEngine engine = Forced();
    if (engine == kUndecided) {
        IClassFactory* pFactory = nullptr;
        const HRESULT hr = CoGetClassObject(CLSID_WMEncoder, CLSCTX_INPROC_SERVER, nullptr,
                                            IID_IClassFactory, reinterpret_cast<void**>(&pFactory));
        if (SUCCEEDED(hr) && pFactory != nullptr) {
            pFactory->Release();
            engine = kAutomation;
        } else if (hr == REGDB_E_CLASSNOTREG) {
            engine = kOwn;
        } else {
            return kAutomation;  // undecided: that engine answers the error
        }
    }
    int nExpected = kUndecided;
    g_engine.compare_exchange_strong(nExpected, engine);
    return static_cast<EEngine>(g_engine.load());
}

HRESULT Create(REFCLSID clsid, DWORD dwClsContext, REFIID riid, void** ppv) {
    const PFNCREATEINSTANCE pfnCreate =
        Choose() == kOwn ? OwnEngineFactory(clsid) : AutomationEngineFactory(clsid);
    if (pfnCreate == nullptr) {
        if (ppv != nullptr) {
            *ppv = nullptr;
        }
        return REGDB_E_CLASSNOTREG;
    }
    return pfnCreate(clsid, dwClsContext, riid, ppv);
}

}  // namespace

bool WindowsEnginesRegister() {
    // Each engine's own setup; then one factory per class in their place.
    const bool bOwn = OwnEngineRegister();
    const bool bAutomation = AutomationEngineRegister();
    return bOwn && bAutomation && RtRegisterClass(CLSID_WMEncoder, Create) &&
           RtRegisterClass(CLSID_WMEncProfile2, Create);
}
