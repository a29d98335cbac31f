// libdeskvid.so loaded the way a host loads it: dlopen, the five exports by
// name, dlclose. Shared by the recording tests and their host program.
#pragma once

#include <deskvid/deskvid.h>

#include <dlfcn.h>

#include <initializer_list>

struct CHostLibrary {
    void* hLib = nullptr;
    PFN_qmInitialize pfnInitialize = nullptr;
    PFN_qmUninitialize pfnUninitialize = nullptr;
    PFN_qmGetInterfaceName pfnGetInterfaceName = nullptr;
    PFN_qmCreateInstance pfnCreateInstance = nullptr;
    PFN_qmDestroyInstance pfnDestroyInstance = nullptr;

    // True when the library loaded and offers all five exports.
    bool Load() {
        hLib = dlopen(DESKVID_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (hLib == nullptr) {
            return false;
        }
        // System libraries that FFmpeg pulls in (libssh through libavformat's
        // protocols) and that leave allocations behind when they are
        // unloaded stay loaded: once unmapped, LeakSanitizer can no longer
        // name them, so no suppression could match, and their leftovers would
        // hide behind this library's name. Only libraries already loaded are
        // pinned.
        for (const char* pszSystem : {"libgomp.so.1", "libpixman-1.so.0", "libssh-gcrypt.so.4"}) {
            dlopen(pszSystem, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
        }
        pfnInitialize = reinterpret_cast<PFN_qmInitialize>(dlsym(hLib, "qmInitialize"));
        pfnUninitialize = reinterpret_cast<PFN_qmUninitialize>(dlsym(hLib, "qmUninitialize"));
        pfnGetInterfaceName =
            reinterpret_cast<PFN_qmGetInterfaceName>(dlsym(hLib, "qmGetInterfaceName"));
        pfnCreateInstance = reinterpret_cast<PFN_qmCreateInstance>(dlsym(hLib, "qmCreateInstance"));
        pfnDestroyInstance =
            reinterpret_cast<PFN_qmDestroyInstance>(dlsym(hLib, "qmDestroyInstance"));
        return pfnInitialize != nullptr && pfnUninitialize != nullptr &&
               pfnGetInterfaceName != nullptr && pfnCreateInstance != nullptr &&
               pfnDestroyInstance != nullptr && pfnInitialize();
    }

    void Unload() {
        if (hLib != nullptr) {
            if (pfnUninitialize != nullptr) {
                pfnUninitialize();
            }
            dlclose(hLib);
        }
        *this = CHostLibrary();
    }
};
