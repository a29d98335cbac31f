/*
 * The smallest deskvid host: load the plug-in, learn its interface, create a
 * capture instance, command it and destroy it. Build with
 *
 *     cc $(pkg-config --cflags deskvid) host.c -o host -ldl
 *
 * and run `./host [LIBRARY [FILE.wmv SECONDS]]`. With a file name it records
 * for that many seconds; without one it only checks that an idle instance
 * refuses to pause.
 */
#include <deskvid/deskvid.h>
#include <deskvid/deskvid_status.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* File names cross as UTF-16; this example takes ASCII names only. */
static DVWCHAR* WidenAscii(const char* psz) {
    size_t n = strlen(psz);
    DVWCHAR* pwsz = (DVWCHAR*)calloc(n + 1, sizeof(DVWCHAR));
    for (size_t i = 0; pwsz != NULL && i < n; ++i) {
        pwsz[i] = (DVWCHAR)(unsigned char)psz[i];
    }
    return pwsz;
}

int main(int argc, char** argv) {
    const char* pszLibrary = argc > 1 ? argv[1] : "libdeskvid.so.0";
    void* hLib = dlopen(pszLibrary, RTLD_NOW | RTLD_LOCAL);
    if (hLib == NULL) {
        fprintf(stderr, "host: cannot load %s: %s\n", pszLibrary, dlerror());
        return 1;
    }
    PFN_qmInitialize pfnInitialize = (PFN_qmInitialize)dlsym(hLib, "qmInitialize");
    PFN_qmUninitialize pfnUninitialize = (PFN_qmUninitialize)dlsym(hLib, "qmUninitialize");
    PFN_qmGetInterfaceName pfnGetInterfaceName =
        (PFN_qmGetInterfaceName)dlsym(hLib, "qmGetInterfaceName");
    PFN_qmCreateInstance pfnCreateInstance = (PFN_qmCreateInstance)dlsym(hLib, "qmCreateInstance");
    PFN_qmDestroyInstance pfnDestroyInstance =
        (PFN_qmDestroyInstance)dlsym(hLib, "qmDestroyInstance");
    if (!pfnInitialize || !pfnUninitialize || !pfnGetInterfaceName || !pfnCreateInstance ||
        !pfnDestroyInstance) {
        fprintf(stderr, "host: %s lacks the deskvid exports\n", pszLibrary);
        return 1;
    }

    int rc = 1;
    char szName[14];
    if (!pfnInitialize()) {
        fprintf(stderr, "host: qmInitialize failed\n");
        goto unload;
    }
    for (int i = 0; pfnGetInterfaceName(i, szName); ++i) {
        printf("interface %d: %s\n", i, szName);
    }

    IWMEncDeskVid* pCapture = (IWMEncDeskVid*)pfnCreateInstance(DESKVID_INTERFACE_NAME);
    if (pCapture == NULL) {
        fprintf(stderr, "host: cannot create %s\n", DESKVID_INTERFACE_NAME);
        goto uninitialize;
    }

    if (argc > 3) {
        DVWCHAR* pwszFile = WidenAscii(argv[2]); /* must outlive the instance's starts */
        CAPTURE_PARAMS params = {0};
        params.dwMask = CAPF_FILE;
        params.lpwszFile = pwszFile;
        int32_t hr = pCapture->lpVtbl->Control(pCapture, CAPCMD_START, &params);
        if (hr >= 0) {
            sleep((unsigned)atoi(argv[3]));
            hr = pCapture->lpVtbl->Control(pCapture, CAPCMD_STOP, NULL);
        }
        printf("recording: 0x%08x %s\n", (unsigned)hr, DeskVidStatusText(hr));
        rc = hr >= 0 ? 0 : 1;
        pfnDestroyInstance(pCapture);
        free(pwszFile);
    } else {
        /* An idle instance has nothing to pause. */
        int32_t hr = pCapture->lpVtbl->Control(pCapture, CAPCMD_PAUSE, NULL);
        printf("pause on an idle instance: 0x%08x %s\n", (unsigned)hr, DeskVidStatusText(hr));
        rc = hr < 0 ? 0 : 1;
        pfnDestroyInstance(pCapture);
    }

uninitialize:
    pfnUninitialize();
unload:
    dlclose(hLib);
    return rc;
}
