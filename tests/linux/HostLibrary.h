// libdeskvid.so loaded the way a host loads it, through the loader that every
// C++ host of ours shares: Load also initialises, Unload uninitialises first.
// Shared by the recording tests and their host program.
#pragma once

#include <dlfcn.h>

#include <string>

#include "tools/hostlib/HostLibrary.h"

// Built with a sanitizer (GCC says so by a macro, Clang by a feature).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define DESKVID_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define DESKVID_TEST_SANITIZED 1
#endif
#endif

struct CHostLibrary : hostlib::CDeskVidLibrary {
    // True when the library loaded, offers all five exports and initialised.
    bool Load() {
        std::string strError;
        if (!CDeskVidLibrary::Load(DESKVID_LIBRARY, &strError)) {
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
        return m_pfnInitialize();
    }

    void Unload() {
        if (m_pfnUninitialize != nullptr) {
            m_pfnUninitialize();
        }
        CDeskVidLibrary::Unload();
    }
};
