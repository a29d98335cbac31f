/*
 * A host written in C, as a conferencing application would be: it loads
 * deskvid.dll by path, resolves the five exports by name and drives an
 * instance through its table of virtual functions (thiscall). It runs in a
 * prefix where no encoder is registered, so a start must answer the COM
 * runtime's class-not-registered status unchanged and leave the instance
 * idle.
 *
 * windows_host_c PATH-OF-deskvid.dll
 */
#include <windows.h>
#include <objbase.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <deskvid/deskvid.h>

_Static_assert(sizeof(CAPTURE_PARAMS) == 28, "CAPTURE_PARAMS is 28 bytes");
_Static_assert(offsetof(CAPTURE_PARAMS, dwMask) == 0, "dwMask at 0");
_Static_assert(offsetof(CAPTURE_PARAMS, lpwszFile) == 4, "lpwszFile at 4");
_Static_assert(offsetof(CAPTURE_PARAMS, bySharpness) == 8, "bySharpness at 8");
_Static_assert(offsetof(CAPTURE_PARAMS, nBitrateKbps) == 12, "nBitrateKbps at 12");
_Static_assert(offsetof(CAPTURE_PARAMS, nFps) == 16, "nFps at 16");
_Static_assert(offsetof(CAPTURE_PARAMS, nWidth) == 20, "nWidth at 20");
_Static_assert(offsetof(CAPTURE_PARAMS, nHeight) == 24, "nHeight at 24");

#define STATUS_CLASS_NOT_REGISTERED ((int32_t)0x80040154)
#define STATUS_FAIL ((int32_t)0x80004005)

static int g_nFailures = 0;

static void Expect(int bOk, const char* pszWhat) {
    if (!bOk) {
        fprintf(stderr, "FAILED: %s\n", pszWhat);
        ++g_nFailures;
    }
}

static void ExpectStatus(int32_t hr, int32_t hrExpected, const char* pszWhat) {
    if (hr != hrExpected) {
        fprintf(stderr, "FAILED: %s: 0x%08lX, expected 0x%08lX\n", pszWhat, (unsigned long)hr,
                (unsigned long)hrExpected);
        ++g_nFailures;
    }
}

/* A path given the Unix way is on drive Z: under Wine. */
static void WindowsPath(const char* pszPath, char* pszOut, size_t cbOut) {
    snprintf(pszOut, cbOut, "%s%s", pszPath[0] == '/' ? "Z:" : "", pszPath);
    for (char* p = pszOut; *p != 0; ++p) {
        if (*p == '/') {
            *p = '\\';
        }
    }
}

/* The generic function type: each caller casts it to the export's own. */
typedef void (*PFNGENERIC)(void);

static PFNGENERIC Resolve(HMODULE hModule, const char* pszName) {
    PFNGENERIC pfn = (PFNGENERIC)GetProcAddress(hModule, pszName);
    Expect(pfn != NULL, pszName);
    return pfn;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: windows_host_c DLL\n");
        return 2;
    }
    char szDll[MAX_PATH];
    WindowsPath(argv[1], szDll, sizeof(szDll));
    static const wchar_t kFile[] = L"host-c.wmv";
    DeleteFileW(kFile);

    HRESULT hrInit = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    Expect(SUCCEEDED(hrInit), "CoInitializeEx");

    HMODULE hModule = LoadLibraryA(szDll);
    if (hModule == NULL) {
        fprintf(stderr, "FAILED: LoadLibrary(%s): error %lu\n", szDll, GetLastError());
        return 1;
    }
    PFN_qmInitialize pfnInitialize = (PFN_qmInitialize)Resolve(hModule, "qmInitialize");
    PFN_qmUninitialize pfnUninitialize = (PFN_qmUninitialize)Resolve(hModule, "qmUninitialize");
    PFN_qmGetInterfaceName pfnGetInterfaceName =
        (PFN_qmGetInterfaceName)Resolve(hModule, "qmGetInterfaceName");
    PFN_qmCreateInstance pfnCreateInstance =
        (PFN_qmCreateInstance)Resolve(hModule, "qmCreateInstance");
    PFN_qmDestroyInstance pfnDestroyInstance =
        (PFN_qmDestroyInstance)Resolve(hModule, "qmDestroyInstance");
    if (g_nFailures > 0) {
        return 1;
    }

    Expect(pfnInitialize(), "qmInitialize answers true");
    char szName[32];
    memset(szName, 'x', sizeof(szName));
    Expect(pfnGetInterfaceName(0, szName) && strcmp(szName, DESKVID_INTERFACE_NAME) == 0,
           "qmGetInterfaceName(0) gives the interface name");
    memset(szName, 'x', sizeof(szName));
    Expect(!pfnGetInterfaceName(1, szName) && szName[0] == 'x',
           "qmGetInterfaceName(1) answers false and writes nothing");
    Expect(pfnCreateInstance("iwmencdeskvid") == NULL, "a name in other case creates nothing");

    IWMEncDeskVid* pInstance = (IWMEncDeskVid*)pfnCreateInstance(DESKVID_INTERFACE_NAME);
    Expect(pInstance != NULL, "qmCreateInstance gives an instance");
    if (pInstance != NULL) {
        CAPTURE_PARAMS params;
        memset(&params, 0, sizeof(params));
        params.dwMask = CAPF_FILE | CAPF_BITRATE | CAPF_FPS;
        params.lpwszFile = kFile;
        params.nBitrateKbps = 300;
        params.nFps = 15;

        /* Commands on an idle instance. */
        ExpectStatus(pInstance->lpVtbl->Control(pInstance, CAPCMD_PAUSE, NULL), STATUS_FAIL,
                     "pause before any start");
        ExpectStatus(pInstance->lpVtbl->Control(pInstance, CAPCMD_START, &params),
                     STATUS_CLASS_NOT_REGISTERED, "start without an encoder");
        ExpectStatus(pInstance->lpVtbl->Control(pInstance, CAPCMD_PAUSE, NULL), STATUS_FAIL,
                     "pause after a failed start");
        ExpectStatus(pInstance->lpVtbl->Control(pInstance, CAPCMD_STOP, NULL), STATUS_FAIL,
                     "stop after a failed start");
        /* A second start runs first-time setup again and fails the same way. */
        ExpectStatus(pInstance->lpVtbl->Control(pInstance, CAPCMD_START, NULL),
                     STATUS_CLASS_NOT_REGISTERED, "second start without an encoder");
        ExpectStatus(pInstance->lpVtbl->Control(pInstance, 3, NULL), STATUS_FAIL,
                     "an unknown command");
        pfnDestroyInstance(pInstance);
    }
    Expect(GetFileAttributesW(kFile) == INVALID_FILE_ATTRIBUTES, "no output file was created");
    pfnUninitialize();
    Expect(FreeLibrary(hModule), "FreeLibrary");
    if (SUCCEEDED(hrInit)) {
        CoUninitialize();
    }
    if (g_nFailures == 0) {
        printf("windows_host_c: all checks passed\n");
    }
    return g_nFailures == 0 ? 0 : 1;
}
