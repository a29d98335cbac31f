// What every component object of ours shares: a thread-safe reference count
// and QueryInterface answered from a table of the interfaces it offers.
//
//   class CFile final : public TComObject<CFile, IWMEncFile> {
//   public:
//       static constexpr TInterfaceEntry<CFile> kInterfaces[] = {
//           {&IID_IUnknown, InterfaceOf<IWMEncFile>},
//       };
//       ...
//   };
//
// An object starts with one reference, its creator's, and deletes itself on
// the last Release. A class may define HRESULT Admit(REFIID riid) to decide
// about a listed interface when asked for it (anything but S_OK is answered
// instead, with no reference handed out).
#pragma once

#include <atomic>
#include <iterator>

#include "port/port.h"

template <class TDerived>
struct TInterfaceEntry {
    const IID* piid;
    void* (*pfnCast)(TDerived* pThis);  // the object as that interface
};

// The cast a table entry names: InterfaceOf<IWMEncFile>.
template <class TInterface, class TDerived>
void* InterfaceOf(TDerived* pThis) {
    return static_cast<TInterface*>(pThis);
}

template <class TDerived, class... TInterfaces>
class TComObject : public TInterfaces... {
public:
    TComObject(const TComObject&) = delete;
    TComObject& operator=(const TComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        TDerived* pThis = static_cast<TDerived*>(this);
        for (const TInterfaceEntry<TDerived>& entry : TDerived::kInterfaces) {
            if (*entry.piid == riid) {
                const HRESULT hr = pThis->Admit(riid);
                if (hr != S_OK) {
                    return hr;
                }
                AddRef();
                *ppv = entry.pfnCast(pThis);
                return S_OK;
            }
        }
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_cRef; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG cRef = --m_cRef;
        if (cRef == 0) {
            delete static_cast<TDerived*>(this);
        }
        return cRef;
    }

protected:
    TComObject() = default;
    ~TComObject() = default;
    // Every listed interface is offered unless the class says otherwise.
    HRESULT Admit(REFIID) { return S_OK; }

private:
    std::atomic<ULONG> m_cRef{1};
};
