// The engine's configuration objects as the encoder sees them: the source
// group it creates and reads a snapshot from, and the profile's factory.
// Internal to the engine. The group, its sources, the profile and its
// audience live in EngineConfig.cc, apart from the encoder and its session
// handling in LibavEngine.cc: they only hold settings and never record.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "encoder/WMEncoder.h"
#include "engine/linux/LibavConfig.h"
#include "runtime/ComObject.h"

namespace libav {

std::u16string ToU16(const OLECHAR* pwsz);

class CLibavSource;

class CLibavGroup final : public TComObject<CLibavGroup, IWMEncSourceGroup> {
public:
    ~CLibavGroup();

    static constexpr TInterfaceEntry<CLibavGroup> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncSourceGroup>},
    };

    HRESULT get_SourceCount(WMENC_SOURCE_TYPE enumType, SHORT* pnCount) override;
    HRESULT RemoveSource(WMENC_SOURCE_TYPE enumType, VARIANT varIndex) override;
    HRESULT AddSource(WMENC_SOURCE_TYPE enumType, IWMEncSource** ppSource) override;
    HRESULT put_Profile(VARIANT varProfile) override;

    void Describe(CSnapshot* pSnap);

private:
    std::mutex m_mutex;
    std::vector<CLibavSource*> m_vSources;  // one reference each
    bool m_bHasProfile = false;
    CProfileSettings m_profile;
};

// The class factory of CLSID_WMEncProfile2.
HRESULT CreateProfile(REFCLSID, DWORD, REFIID riid, void** ppv);

}  // namespace libav
