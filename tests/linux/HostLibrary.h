// libdeskvid.so loaded the way a host loads it, through the loader that every
// C++ host of ours shares: Load also initialises, Unload uninitialises first.
// Shared by the recording tests and their host program.
#pragma once

#include <dlfcn.h>

#include <string>

#include "tools/hostlib/HostLibrary.h"

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
