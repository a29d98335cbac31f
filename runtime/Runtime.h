// What the capture code talks through: status codes, ids, reference-counted
// objects, per-call wide strings, variants (from port/), and object creation
// by class id through the class table that engines and tests register into.
#pragma once

#include "base/Memory.h"
#include "port/port.h"

// Creates a new object of a registered class, as the system's in-process
// object creation would: *ppv receives a reference of its own on success.
typedef HRESULT (*PFNCREATEINSTANCE)(REFCLSID clsid, DWORD dwClsContext, REFIID riid, void** ppv);

// Registers (or replaces) the factory for a class id. Returns false when the
// table is full. Registration is safe on any thread at any time.
bool RtRegisterClass(REFCLSID clsid, PFNCREATEINSTANCE pfnCreate);

// Removes a class id from the table; creation then answers class-not-registered.
void RtRevokeClass(REFCLSID clsid);

// Creates an object by class id: REGDB_E_CLASSNOTREG when no factory is
// registered, E_POINTER for a null ppv, otherwise the factory's own status.
HRESULT RtCreateInstance(REFCLSID clsid, DWORD dwClsContext, REFIID riid, void** ppv);

// A wide string that lives for one engine call. Holds null when the text is
// null or could not be allocated; the engine is then handed a null string.
// Each allocation counts against the base library's injected failures.
class CWideString {
public:
    // Narrow literal: converted with the system ANSI code page (UTF-8 here).
    explicit CWideString(const char* pszAnsi)
        : m_bstr(pszAnsi == nullptr || base::AllocationFails() ? nullptr
                                                               : port::AnsiToBstr(pszAnsi)) {}
    explicit CWideString(const OLECHAR* pwsz)
        : m_bstr(pwsz == nullptr || base::AllocationFails() ? nullptr : SysAllocString(pwsz)) {}
    ~CWideString() { SysFreeString(m_bstr); }
    CWideString(const CWideString&) = delete;
    CWideString& operator=(const CWideString&) = delete;

    BSTR Get() const { return m_bstr; }

private:
    BSTR m_bstr;
};

// Owns one reference to an engine object and releases it on every path.
template <class T>
class TComPtr {
public:
    TComPtr() = default;
    ~TComPtr() { Reset(); }
    TComPtr(const TComPtr&) = delete;
    TComPtr& operator=(const TComPtr&) = delete;

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // For out-parameters: releases what is held first.
    T** Out() {
        Reset();
        return &m_p;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }
    // Hands the reference to the caller.
    T* Detach() {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void Reset() {
        if (m_p != nullptr) {
            T* p = m_p;
            m_p = nullptr;
            p->Release();
        }
    }

private:
    T* m_p = nullptr;
};
