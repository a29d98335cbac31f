// The engine's objects. They form a configuration model that calls only
// change; PrepareToEncode(true) takes a snapshot of it and opens a session
// from the snapshot, so a session never sees a half-changed configuration.
// This file holds the encoder, the objects that write into its model (the
// collection, the file, the display information) and the registration; the
// group, its sources, the profile and its audience are in EngineConfig.cc.
#include "engine/core/OwnEngine.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "deskvid/deskvid_status.h"
#include "encoder/WMEncoder.h"
#include "engine/core/EngineConfig.h"
#include "engine/core/Settings.h"
#include "engine/core/Session.h"
#include "port/Utf.h"
#include "runtime/ComObject.h"

namespace dvengine {
namespace {

// ---------------------------------------------------------------- encoder

// What the encoder's collection, file and display information objects write
// into; shared with them, as they may outlive the encoder by a call or two.
struct CModel {
    std::mutex mutex;
    CGroup* pGroup = nullptr;  // the active group, one reference
    std::u16string strFile;
    std::u16string strAuthor;
    std::u16string strCopyright;
    std::u16string strDescription;
    std::u16string strRating;
    std::u16string strTitle;

    ~CModel() {
        if (pGroup != nullptr) {
            pGroup->Release();
        }
    }
};

class CCollection final : public TComObject<CCollection, IWMEncSourceGroupCollection> {
public:
    explicit CCollection(std::shared_ptr<CModel> pModel) : m_pModel(std::move(pModel)) {}

    static constexpr TInterfaceEntry<CCollection> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncSourceGroupCollection>},
    };

    // A new group replaces the active one: the engine records one group.
    HRESULT Add(BSTR, IWMEncSourceGroup** ppGroup) override {
        if (ppGroup == nullptr) {
            return E_POINTER;
        }
        *ppGroup = nullptr;
        CGroup* pGroup = new (std::nothrow) CGroup;
        if (pGroup == nullptr) {
            return E_OUTOFMEMORY;
        }
        CGroup* pOld = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_pModel->mutex);
            pOld = m_pModel->pGroup;
            m_pModel->pGroup = pGroup;
        }
        if (pOld != nullptr) {
            pOld->Release();
        }
        pGroup->AddRef();
        *ppGroup = pGroup;
        return S_OK;
    }

    HRESULT get_Active(IWMEncSourceGroup** ppGroup) override {
        if (ppGroup == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_pModel->mutex);
        *ppGroup = m_pModel->pGroup;
        if (m_pModel->pGroup == nullptr) {
            return E_FAIL;
        }
        m_pModel->pGroup->AddRef();
        return S_OK;
    }

private:
    std::shared_ptr<CModel> m_pModel;
};

class CFile final : public TComObject<CFile, IWMEncFile> {
public:
    explicit CFile(std::shared_ptr<CModel> pModel) : m_pModel(std::move(pModel)) {}

    static constexpr TInterfaceEntry<CFile> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncFile>},
    };

    // A null name is accepted here and refused when the session opens.
    HRESULT put_LocalFileName(BSTR bstrFileName) override {
        std::lock_guard<std::mutex> lock(m_pModel->mutex);
        m_pModel->strFile = ToU16(bstrFileName);
        return S_OK;
    }

private:
    std::shared_ptr<CModel> m_pModel;
};

class CDisplayInfo final : public TComObject<CDisplayInfo, IWMEncDisplayInfo> {
public:
    explicit CDisplayInfo(std::shared_ptr<CModel> pModel) : m_pModel(std::move(pModel)) {}

    static constexpr TInterfaceEntry<CDisplayInfo> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncDisplayInfo>},
    };

    HRESULT put_Author(BSTR bstr) override { return Set(&CModel::strAuthor, bstr); }
    HRESULT put_Copyright(BSTR bstr) override { return Set(&CModel::strCopyright, bstr); }
    HRESULT put_Description(BSTR bstr) override { return Set(&CModel::strDescription, bstr); }
    HRESULT put_Rating(BSTR bstr) override { return Set(&CModel::strRating, bstr); }
    HRESULT put_Title(BSTR bstr) override { return Set(&CModel::strTitle, bstr); }

private:
    HRESULT Set(std::u16string CModel::*pField, BSTR bstr) {
        std::lock_guard<std::mutex> lock(m_pModel->mutex);
        (*m_pModel).*pField = ToU16(bstr);
        return S_OK;
    }

    std::shared_ptr<CModel> m_pModel;
};

class CEncoder final : public TComObject<CEncoder, IWMEncoder> {
public:
    explicit CEncoder(std::shared_ptr<CModel> pModel) : m_pModel(std::move(pModel)) {}
    // The final release finishes a started recording; a session that never
    // started is closed and leaves no file.
    ~CEncoder() { m_pSession.reset(); }

    static constexpr TInterfaceEntry<CEncoder> kInterfaces[] = {
        {&IID_IUnknown, InterfaceOf<IWMEncoder>},
        {&IID_IWMEncoder, InterfaceOf<IWMEncoder>},
    };

    HRESULT get_SourceGroupCollection(IWMEncSourceGroupCollection** pp) override {
        return HandNew<CCollection>(pp);
    }
    HRESULT get_File(IWMEncFile** pp) override { return HandNew<CFile>(pp); }
    HRESULT get_DisplayInfo(IWMEncDisplayInfo** pp) override { return HandNew<CDisplayInfo>(pp); }

    HRESULT PrepareToEncode(VARIANT_BOOL bPrepare) override {
        // Unpreparing opens the configuration for changes; a running or
        // paused session goes on with its own snapshot.
        if (bPrepare == VARIANT_FALSE) {
            return S_OK;
        }
        CSnapshot snap;
        HRESULT hr = TakeSnapshot(&snap);
        if (FAILED(hr)) {
            return hr;
        }
        if (!m_pSession) {
            return CSession::Open(snap, &m_pSession);
        }
        const CSnapshot& current = m_pSession->Snapshot();
        CFileId idNew;
        CFileId idCurrent;
        if (snap.strFile == current.strFile ||
            (CFileId::Of(snap.strFile, &idNew) && CFileId::Of(current.strFile, &idCurrent) &&
             idNew == idCurrent)) {
            // Nothing changed: the session simply continues (a resume after a
            // pause loses and overwrites nothing). Other settings for the
            // same file would overwrite it: refused, the session goes on.
            return snap.SameSettings(current) ? S_OK : DV_E_SETTINGS_CHANGED;
        }
        // A new file: open the new session first, so that a failure leaves
        // the current recording untouched; then finish the old file.
        std::unique_ptr<CSession> pNew;
        hr = CSession::Open(snap, &pNew);
        if (FAILED(hr)) {
            return hr;
        }
        HRESULT hrOld = S_OK;
        if (m_pSession->Started()) {
            hrOld = m_pSession->Finish();
        }
        m_pSession = std::move(pNew);
        // The rolled-over file's write failure is reported by the next Stop().
        if (FAILED(hrOld) && SUCCEEDED(m_hrDeferred)) {
            m_hrDeferred = hrOld;
        }
        return S_OK;
    }

    HRESULT Start() override { return m_pSession ? m_pSession->Start() : DV_E_NOT_PREPARED; }
    HRESULT Pause() override { return m_pSession ? m_pSession->Pause() : DV_E_NOT_PREPARED; }

    HRESULT Stop() override {
        if (!m_pSession) {
            return DV_E_NOT_PREPARED;
        }
        HRESULT hr = S_OK;
        if (m_pSession->Started()) {
            hr = m_pSession->Finish();
        }
        m_pSession.reset();
        if (SUCCEEDED(hr) && FAILED(m_hrDeferred)) {
            hr = m_hrDeferred;
        }
        m_hrDeferred = S_OK;
        return hr;
    }

private:
    template <class T, class I>
    HRESULT HandNew(I** pp) {
        if (pp == nullptr) {
            return E_POINTER;
        }
        *pp = new (std::nothrow) T(m_pModel);
        return *pp != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT TakeSnapshot(CSnapshot* pSnap) {
        try {
            CGroup* pGroup = nullptr;
            {
                std::lock_guard<std::mutex> lock(m_pModel->mutex);
                // A name that is not whole text (a lone surrogate) would
                // become another name, perhaps one that exists: refused.
                bool bExact = true;
                pSnap->strFile = port::Utf16ToUtf8(m_pModel->strFile.c_str(), &bExact);
                if (!bExact) {
                    return DV_E_FILE_OPEN;
                }
                pSnap->strAuthor = port::Utf16ToUtf8(m_pModel->strAuthor.c_str());
                pSnap->strCopyright = port::Utf16ToUtf8(m_pModel->strCopyright.c_str());
                pSnap->strDescription = port::Utf16ToUtf8(m_pModel->strDescription.c_str());
                pSnap->strRating = port::Utf16ToUtf8(m_pModel->strRating.c_str());
                pSnap->strTitle = port::Utf16ToUtf8(m_pModel->strTitle.c_str());
                pGroup = m_pModel->pGroup;
                if (pGroup != nullptr) {
                    pGroup->AddRef();
                }
            }
            if (pGroup != nullptr) {
                pGroup->Describe(pSnap);
                pGroup->Release();
            }
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    std::shared_ptr<CModel> m_pModel;
    std::unique_ptr<CSession> m_pSession;
    HRESULT m_hrDeferred = S_OK;
};

// ---------------------------------------------------------------- factories

HRESULT CreateEncoder(REFCLSID, DWORD, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    std::shared_ptr<CModel> pModel;
    try {
        pModel = std::make_shared<CModel>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    CEncoder* pEncoder = new (std::nothrow) CEncoder(std::move(pModel));
    if (pEncoder == nullptr) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = pEncoder->QueryInterface(riid, ppv);
    pEncoder->Release();
    return hr;
}

}  // namespace
}  // namespace dvengine

bool OwnEngineRegister() {
    // The FFmpeg inside this library is a private copy: nothing it would log
    // is for the host's output, and every failure reaches the host as a
    // status. The system's FFmpeg is the host's as well: its level stays.
#ifndef DESKVID_SYSTEM_FFMPEG
    av_log_set_level(AV_LOG_QUIET);
#endif
    return RtRegisterClass(CLSID_WMEncoder, dvengine::CreateEncoder) &&
           RtRegisterClass(CLSID_WMEncProfile2, dvengine::CreateProfile);
}

PFNCREATEINSTANCE OwnEngineFactory(REFCLSID clsid) {
    return IsEqualGUID(clsid, CLSID_WMEncoder)       ? dvengine::CreateEncoder
           : IsEqualGUID(clsid, CLSID_WMEncProfile2) ? dvengine::CreateProfile
                                                     : nullptr;
}
