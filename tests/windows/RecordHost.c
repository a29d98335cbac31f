/*
 * A host written in C that records through deskvid.dll under Wine, for the
 * recording tests (tests/windows/record-wine.sh), which check the files.
 *
 *   windows_record_host DLL record FILE   3 s, a 2 s pause, 3 s more
 *   windows_record_host DLL start FILE HEX  a start must answer HEX (a
 *                                         success is stopped at once)
 *   windows_record_host DLL second FILE   a second instance may not record
 *                                         the file the first records
 *   windows_record_host DLL lost FILE     5 s while the audio server goes:
 *                                         the stop reports the lost device
 *   windows_record_host DLL restart FILE  9 s while the audio server goes and
 *                                         comes back: the stop succeeds
 *   windows_record_host DLL seconds FILE N  N seconds, for the benchmark
 *   windows_record_host DLL nocom FILE    without COM initialised, a start
 *                                         answers CO_E_NOTINITIALIZED
 *   windows_record_host DLL environment FILE  1 s, the synthetic screen
 *                                         (320x240) and sound set at run time
 *
 * Every status is printed; exits 0 when each is as expected.
 */
#include <windows.h>
#include <objbase.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deskvid/deskvid.h>
#include <deskvid/deskvid_status.h>

static int g_nFailures = 0;
static PFN_qmCreateInstance g_pfnCreate;
static PFN_qmDestroyInstance g_pfnDestroy;

static HRESULT Command(IWMEncDeskVid* pInstance, int nCommand, const wchar_t* pszFile,
                       HRESULT hrExpected, const char* pszWhat) {
    CAPTURE_PARAMS params;
    memset(&params, 0, sizeof(params));
    params.dwMask = CAPF_FILE;
    params.lpwszFile = pszFile;
    const HRESULT hr =
        pInstance->lpVtbl->Control(pInstance, nCommand, pszFile != NULL ? &params : NULL);
    printf("%s: 0x%08lX\n", pszWhat, (unsigned long)hr);
    if (hr != hrExpected) {
        fprintf(stderr, "FAILED: %s: 0x%08lX, expected 0x%08lX\n", pszWhat, (unsigned long)hr,
                (unsigned long)hrExpected);
        ++g_nFailures;
    }
    fflush(stdout);
    return hr;
}

static IWMEncDeskVid* Create(void) {
    IWMEncDeskVid* pInstance = (IWMEncDeskVid*)g_pfnCreate(DESKVID_INTERFACE_NAME);
    if (pInstance == NULL) {
        fprintf(stderr, "FAILED: qmCreateInstance\n");
        exit(1);
    }
    return pInstance;
}

/* A path given the Unix way is on drive Z: under Wine. */
static void WindowsPath(const char* pszPath, wchar_t* pszOut, size_t cchOut) {
    char sz[MAX_PATH * 2];
    snprintf(sz, sizeof(sz), "%s%s", pszPath[0] == '/' ? "Z:" : "", pszPath);
    for (char* p = sz; *p != 0; ++p) {
        if (*p == '/') {
            *p = '\\';
        }
    }
    MultiByteToWideChar(CP_UTF8, 0, sz, -1, pszOut, (int)cchOut);
}

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: windows_record_host DLL MODE FILE [ARG]\n");
        return 2;
    }
    wchar_t szDll[MAX_PATH * 2];
    wchar_t szFile[MAX_PATH * 2];
    WindowsPath(argv[1], szDll, MAX_PATH * 2);
    if (strcmp(argv[3], "NUL") == 0) {
        wcscpy(szFile, L"NUL");
    } else {
        WindowsPath(argv[3], szFile, MAX_PATH * 2);
    }
    const char* pszMode = argv[2];

    const int bCom = strcmp(pszMode, "nocom") != 0;
    const HRESULT hrInit = bCom ? CoInitializeEx(NULL, COINIT_APARTMENTTHREADED) : S_OK;
    HMODULE hModule = LoadLibraryW(szDll);
    if (FAILED(hrInit) || hModule == NULL) {
        fprintf(stderr, "FAILED: COM or LoadLibrary\n");
        return 1;
    }
    g_pfnCreate = (PFN_qmCreateInstance)(void (*)(void))GetProcAddress(hModule, "qmCreateInstance");
    g_pfnDestroy =
        (PFN_qmDestroyInstance)(void (*)(void))GetProcAddress(hModule, "qmDestroyInstance");
    IWMEncDeskVid* pInstance = Create();

    if (strcmp(pszMode, "record") == 0) {
        Command(pInstance, CAPCMD_START, szFile, S_OK, "start");
        Sleep(3000);
        Command(pInstance, CAPCMD_PAUSE, NULL, S_OK, "pause");
        Sleep(2000);
        Command(pInstance, CAPCMD_START, NULL, S_OK, "resume");
        Sleep(3000);
        Command(pInstance, CAPCMD_STOP, NULL, S_OK, "stop");
    } else if (strcmp(pszMode, "start") == 0 && argc == 5) {
        const HRESULT hrExpected = (HRESULT)strtoul(argv[4], NULL, 16);
        if (SUCCEEDED(Command(pInstance, CAPCMD_START, szFile, hrExpected, "start"))) {
            Sleep(500);
            Command(pInstance, CAPCMD_STOP, NULL, S_OK, "stop");
        }
    } else if (strcmp(pszMode, "second") == 0) {
        Command(pInstance, CAPCMD_START, szFile, S_OK, "start");
        IWMEncDeskVid* pSecond = Create();
        Command(pSecond, CAPCMD_START, szFile, DV_E_FILE_OPEN, "second start");
        g_pfnDestroy(pSecond);
        Sleep(1000);
        Command(pInstance, CAPCMD_STOP, NULL, S_OK, "stop");
    } else if (strcmp(pszMode, "lost") == 0) {
        Command(pInstance, CAPCMD_START, szFile, S_OK, "start");
        Sleep(5000);
        Command(pInstance, CAPCMD_STOP, NULL, DV_E_NO_AUDIO, "stop");
    } else if (strcmp(pszMode, "restart") == 0) {
        Command(pInstance, CAPCMD_START, szFile, S_OK, "start");
        Sleep(9000);
        Command(pInstance, CAPCMD_STOP, NULL, S_OK, "stop");
    } else if (strcmp(pszMode, "nocom") == 0) {
        Command(pInstance, CAPCMD_START, szFile, (HRESULT)0x800401F0, "start without COM");
    } else if (strcmp(pszMode, "environment") == 0) {
        SetEnvironmentVariableW(L"DESKVID_SCREEN", L"synthetic:size=320x240");
        SetEnvironmentVariableW(L"DESKVID_AUDIO", L"synthetic");
        Command(pInstance, CAPCMD_START, szFile, S_OK, "start");
        Sleep(1000);
        Command(pInstance, CAPCMD_STOP, NULL, S_OK, "stop");
    } else if (strcmp(pszMode, "seconds") == 0 && argc == 5) {
        Command(pInstance, CAPCMD_START, szFile, S_OK, "start");
        Sleep((DWORD)(atof(argv[4]) * 1000));
        Command(pInstance, CAPCMD_STOP, NULL, S_OK, "stop");
    } else {
        fprintf(stderr, "unknown mode %s\n", pszMode);
        ++g_nFailures;
    }
    g_pfnDestroy(pInstance);
    FreeLibrary(hModule);
    if (bCom) {
        CoUninitialize();
    }
    return g_nFailures == 0 ? 0 : 1;
}
