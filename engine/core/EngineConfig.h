// The engine's configuration objects as the encoder sees them: the source
// group it creates and reads a snapshot from, and the profile's factory.
// Internal to the engine. The group, its sources, the profile and its
// audience live in EngineConfig.cc, apart from the encoder and its session
// handling in OwnEngine.cc: they only hold settings and never record.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "encoder/WMEncoder.h"
#include "engine/core/Settings.h"
#include "runtime/ComObject.h"

namespace dvengine {

std::u16string ToU16(const OLECHAR* pwsz);

class CSource;

class CGroup final : public TComObject<CGroup, IWMEncSourceGroup> {
public:
    ~CGroup();

    static constexpr TInterfaceEntry<CGroup> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncSourceGroup>},
    };

    HRESULT get_SourceCount(WMENC_SOURCE_TYPE enumType, SHORT* pnCount) override;
    HRESULT RemoveSource(WMENC_SOURCE_TYPE enumType, VARIANT varIndex) override;
    HRESULT AddSource(WMENC_SOURCE_TYPE enumType, IWMEncSource** ppSource) override;
    HRESULT put_Profile(VARIANT varProfile) override;

    void Describe(CSnapshot* pSnap);

private:
    std::mutex m_mutex;
    std::vector<CSource*> m_vSources;  // one reference each
    bool m_bHasProfile = false;
    CProfileSettings m_profile;
};

// The class factory of CLSID_WMEncProfile2.
HRESULT CreateProfile(REFCLSID, DWORD, REFIID riid, void** ppv);

}  // namespace dvengine
