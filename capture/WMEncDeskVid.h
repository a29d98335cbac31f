// A capture instance: keeps the host's settings, holds at most one encoder
// and turns start, pause and stop into work on it.
#pragma once

#include <deskvid/deskvid.h>

#include "encoder/WMEncoder.h"

class CWMEncDeskVid final : public IWMEncDeskVid {
public:
    CWMEncDeskVid();
    // Stops a started instance (teardown, result dropped) before freeing.
    ~CWMEncDeskVid();
    CWMEncDeskVid(const CWMEncDeskVid&) = delete;
    CWMEncDeskVid& operator=(const CWMEncDeskVid&) = delete;

    int32_t Control(int nCommand, const CAPTURE_PARAMS* pParams) override;

private:
    HRESULT Start(const CAPTURE_PARAMS* pParams);
    HRESULT Pause();
    HRESULT Stop();
    void ApplyParams(const CAPTURE_PARAMS* pParams);
    HRESULT FirstTimeSetup(TComPtr<IWMEncoder>& pEncoder);
    HRESULT Reconfigure();
    HRESULT Teardown();
    HRESULT SetFileName(IWMEncoder* pEncoder);
    HRESULT Dispatch(int nCommand, const CAPTURE_PARAMS* pParams);

    IWMEncoder* m_pEncoder;   // owned; null while idle
    HRESULT m_hrState;        // non-negative: started
    CAPTURE_PARAMS m_params;  // current settings; dwMask stays 0
};
