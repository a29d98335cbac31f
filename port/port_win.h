// Windows: the system's COM types, critical sections and code-page conversion.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <oaidl.h>
#include <oleauto.h>
#include <ocidl.h>

#include <string>

// The members of IDispatch for an object that travels as a dispatch pointer
// but is never called by name (a profile handed to a source group).
#define PORT_DISPATCH_NOT_BY_NAME                                                              \
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override {                               \
        return E_NOTIMPL;                                                                      \
    }                                                                                          \
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {                  \
        return E_NOTIMPL;                                                                      \
    }                                                                                          \
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { \
        return E_NOTIMPL;                                                                      \
    }                                                                                          \
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,        \
                                     EXCEPINFO*, UINT*) override {                             \
        return E_NOTIMPL;                                                                      \
    }

namespace port {

// Recursive lock: a critical section may be re-entered by its owning thread.
class RecursiveMutex {
public:
    RecursiveMutex() { InitializeCriticalSection(&m_cs); }
    ~RecursiveMutex() { DeleteCriticalSection(&m_cs); }
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;
    void Lock() { EnterCriticalSection(&m_cs); }
    void Unlock() { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// Converts a narrow text in the system ANSI code page to a newly allocated
// BSTR; null when the text is null or the string cannot be allocated.
BSTR AnsiToBstr(const char* psz);

// The process's environment variable as SetEnvironmentVariable left it (the
// C runtime's getenv sees only its copy from start-up), in UTF-8: false
// when it is not set.
bool GetEnvironment(const char* pszName, std::string* pstrValue);

}  // namespace port
