/* Loads the real plug-in library where no engine can record (no display, an
 * empty file name) and checks that a start fails with a negative status and
 * leaves the instance idle: pause and stop answer E_FAIL.
 * Usage: no_engine_test PATH-TO-LIBRARY */
#include <deskvid/deskvid.h>

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#define E_FAIL_STATUS ((int32_t)0x80004005)

static void* Resolve(void* hLibrary, const char* pszName) {
    void* p = dlsym(hLibrary, pszName);
    if (p == NULL) {
        fprintf(stderr, "no_engine_test: %s not found\n", pszName);
    }
    return p;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: no_engine_test LIBRARY\n");
        return 2;
    }
    void* hLibrary = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (hLibrary == NULL) {
        fprintf(stderr, "no_engine_test: %s\n", dlerror());
        return 2;
    }
    PFN_qmCreateInstance pfnCreate;
    PFN_qmDestroyInstance pfnDestroy;
    void* p = Resolve(hLibrary, "qmCreateInstance");
    memcpy(&pfnCreate, &p, sizeof(p));
    p = Resolve(hLibrary, "qmDestroyInstance");
    memcpy(&pfnDestroy, &p, sizeof(p));
    if (pfnCreate == NULL || pfnDestroy == NULL) {
        return 2;
    }

    int nFailures = 0;
    IWMEncDeskVid* pInstance = (IWMEncDeskVid*)pfnCreate(DESKVID_INTERFACE_NAME);
    if (pInstance == NULL) {
        fprintf(stderr, "no_engine_test: no instance\n");
        return 1;
    }
    static const DVWCHAR wszEmpty[] = {0};
    CAPTURE_PARAMS params;
    memset(&params, 0, sizeof(params));
    params.dwMask = CAPF_FILE;
    params.lpwszFile = wszEmpty;
    int32_t hr = pInstance->lpVtbl->Control(pInstance, CAPCMD_START, &params);
    printf("start: 0x%08x\n", (unsigned)hr);
    if (hr >= 0) {
        fprintf(stderr, "no_engine_test: start succeeded\n");
        ++nFailures;
    }
    hr = pInstance->lpVtbl->Control(pInstance, CAPCMD_PAUSE, NULL);
    if (hr != E_FAIL_STATUS) {
        fprintf(stderr, "no_engine_test: pause gave 0x%08x\n", (unsigned)hr);
        ++nFailures;
    }
    hr = pInstance->lpVtbl->Control(pInstance, CAPCMD_STOP, NULL);
    if (hr != E_FAIL_STATUS) {
        fprintf(stderr, "no_engine_test: stop gave 0x%08x\n", (unsigned)hr);
        ++nFailures;
    }
    pfnDestroy(pInstance);
    /* The library stays loaded: the recording engine's system libraries keep
     * allocations of their own, which LeakSanitizer can no longer attribute
     * once they are unmapped. Unloading is the scripted host test's part. */
    return nFailures == 0 ? 0 : 1;
}
