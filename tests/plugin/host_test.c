/* A host written in C, built apart from the library the way a conferencing
 * application is: it loads the scripted plug-in library with dlopen, resolves
 * the exports by name, calls Control through the C view of the instance and
 * walks the road of one recording. Usage: host_test PATH-TO-LIBRARY */
#define _POSIX_C_SOURCE 200809L

#include <deskvid/deskvid.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tests/plugin/scripted_hooks.h"

static int g_nFailures;

#define EXPECT(cond)                                                            \
    do {                                                                        \
        if (!(cond)) {                                                          \
            fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond); \
            ++g_nFailures;                                                      \
        }                                                                       \
    } while (0)

static void* g_hLibrary;

static void* Resolve(const char* pszName) {
    void* p = dlsym(g_hLibrary, pszName);
    if (p == NULL) {
        fprintf(stderr, "host_test: %s not found: %s\n", pszName, dlerror());
        exit(2);
    }
    return p;
}

static PFN_qmInitialize qmInit;
static PFN_qmUninitialize qmUninit;
static PFN_qmGetInterfaceName qmGetName;
static PFN_qmCreateInstance qmCreate;
static PFN_qmDestroyInstance qmDestroy;
static PFN_scriptedJournal pfnJournal;
static PFN_scriptedFailNth pfnFailNth;
static PFN_scriptedReset pfnReset;
static PFN_scriptedLiveObjects pfnLiveObjects;
static PFN_scriptedRegistryCount pfnRegistryCount;
static PFN_scriptedRegistryHasTable pfnRegistryHasTable;
static PFN_scriptedRegistryBlocks pfnRegistryBlocks;
static PFN_scriptedFailedChecks pfnFailedChecks;

static char g_szJournal[16384];

/* The journal since the last reset. */
static const char* Journal(void) {
    pfnJournal(g_szJournal, sizeof(g_szJournal));
    return g_szJournal;
}

static int32_t Command(IWMEncDeskVid* p, int nCommand, const CAPTURE_PARAMS* pParams) {
    return p->lpVtbl->Control(p, nCommand, pParams);
}

/* Destroys an instance with standard error diverted, and hands back what
 * the library wrote there. */
static const char* DestroyCapturingStderr(void* lpInterface) {
    static char szReport[1024];
    char szPath[] = "/tmp/deskvid_host_test_XXXXXX";
    int fd = mkstemp(szPath);
    if (fd < 0) {
        perror("mkstemp");
        exit(2);
    }
    fflush(stderr);
    int fdSaved = dup(2);
    dup2(fd, 2);
    qmDestroy(lpInterface);
    fflush(stderr);
    dup2(fdSaved, 2);
    close(fdSaved);
    ssize_t n = pread(fd, szReport, sizeof(szReport) - 1, 0);
    szReport[n > 0 ? n : 0] = '\0';
    close(fd);
    unlink(szPath);
    return szReport;
}

static void TestInterfaceName(void) {
    EXPECT(qmInit());
    char buf[32];
    memset(buf, 0x5a, sizeof(buf));
    EXPECT(qmGetName(0, buf));
    EXPECT(memcmp(buf, "IWMEncDeskVid", 14) == 0);
    for (size_t i = 14; i < sizeof(buf); ++i) {
        EXPECT(buf[i] == 0x5a);
    }

    int nIndex = 0;
    while (qmGetName(nIndex, buf)) {
        ++nIndex;
    }
    EXPECT(nIndex == 1);

    const int anOther[] = {1, 2, -1, 0x7fffffff, -0x7fffffff - 1};
    for (size_t i = 0; i < sizeof(anOther) / sizeof(anOther[0]); ++i) {
        memset(buf, 0x5a, sizeof(buf));
        EXPECT(!qmGetName(anOther[i], buf));
        for (size_t j = 0; j < sizeof(buf); ++j) {
            EXPECT(buf[j] == 0x5a);
        }
    }
    EXPECT(!qmGetName(0, NULL));
    qmUninit();
}

static void TestOnlyTheExactNameCreates(void) {
    const char* apszWrong[] = {"iwmencdeskvid",
                               "IWMENCDESKVID",
                               "IWMEncDeskVid ",
                               " IWMEncDeskVid",
                               "IWMEncDeskVi",
                               "IWMEncDeskVidX",
                               "",
                               NULL};
    for (size_t i = 0; i < sizeof(apszWrong) / sizeof(apszWrong[0]); ++i) {
        EXPECT(qmCreate(apszWrong[i]) == NULL);
    }
    EXPECT(pfnRegistryCount() == 0);
    EXPECT(!pfnRegistryHasTable());
    EXPECT(pfnRegistryBlocks() == 0);
}

static void TestRoadOfOneRecording(void) {
    pfnReset();
    void* lpFirst = qmCreate("IWMEncDeskVid");
    void* lpSecond = qmCreate("IWMEncDeskVid");
    EXPECT(lpFirst != NULL && lpSecond != NULL && lpFirst != lpSecond);
    EXPECT(pfnRegistryCount() == 2);
    EXPECT(pfnRegistryHasTable());
    EXPECT(pfnRegistryBlocks() == 1);
    EXPECT(pfnLiveObjects() == 0); /* no engine object before the first start */
    if (lpFirst == NULL || lpSecond == NULL) {
        return;
    }

    /* Every field set, each to a value that shows where it landed. */
    static const DVWCHAR wszFile[] = {'o', 'u', 't', '.', 'w', 'm', 'v', 0};
    CAPTURE_PARAMS params;
    memset(&params, 0, sizeof(params));
    params.dwMask = CAPF_FILE | CAPF_SHARPNESS | CAPF_FPS | CAPF_BITRATE | CAPF_SIZE;
    params.lpwszFile = wszFile;
    params.bySharpness = 70;
    params.nBitrateKbps = 300;
    params.nFps = 25;
    params.nWidth = 640;
    params.nHeight = 480;

    IWMEncDeskVid* pInstance = (IWMEncDeskVid*)lpFirst;
    EXPECT(Command(pInstance, CAPCMD_PAUSE, NULL) == (int32_t)0x80004005);
    EXPECT(Command(pInstance, CAPCMD_START, &params) == 0);
    const char* pszJournal = Journal();
    EXPECT(strncmp(pszJournal, "new Encoder\n", 12) == 0);
    EXPECT(strstr(pszJournal, "File.LocalFileName = \"out.wmv\"\n") != NULL);
    EXPECT(strstr(pszJournal, "Audience.VideoBitrate(0) = 300000\n") != NULL);
    EXPECT(strstr(pszJournal, "Audience.VideoFPS(0) = 25000\n") != NULL);
    EXPECT(strstr(pszJournal, "Audience.VideoWidth(0) = 640\n") != NULL);
    EXPECT(strstr(pszJournal, "Audience.VideoHeight(0) = 480\n") != NULL);
    EXPECT(strstr(pszJournal, "Audience.VideoImageSharpness(0) = 70\n") != NULL);
    EXPECT(strstr(pszJournal, "Encoder.PrepareToEncode(true)\nEncoder.Start()\n") != NULL);

    pfnReset();
    EXPECT(Command(pInstance, CAPCMD_PAUSE, NULL) == 0);
    EXPECT(strcmp(Journal(), "Encoder.Pause()\n") == 0);
    EXPECT(Command(pInstance, CAPCMD_START, NULL) == 0);
    EXPECT(Command(pInstance, 3, NULL) == (int32_t)0x80004005);
    pfnReset();
    EXPECT(Command(pInstance, CAPCMD_STOP, NULL) == 0);
    EXPECT(strcmp(Journal(), "Encoder.PrepareToEncode(false)\nEncoder.Stop()\n") == 0);
    EXPECT(Command(pInstance, CAPCMD_STOP, NULL) == (int32_t)0x80004005);
    EXPECT(pfnLiveObjects() == 0);

    /* Destroying a started instance stops its encoder first. */
    pInstance = (IWMEncDeskVid*)lpSecond;
    EXPECT(Command(pInstance, CAPCMD_START, NULL) == 0);
    EXPECT(pfnLiveObjects() > 0);
    pfnReset();
    qmDestroy(lpSecond);
    EXPECT(strcmp(Journal(), "Encoder.PrepareToEncode(false)\nEncoder.Stop()\n") == 0);
    EXPECT(pfnLiveObjects() == 0);
    EXPECT(pfnRegistryCount() == 1);

    /* The last one leaves no storage behind. */
    int nChecks = pfnFailedChecks();
    EXPECT(strcmp(DestroyCapturingStderr(lpFirst), "") == 0);
    EXPECT(pfnFailedChecks() == nChecks);
    EXPECT(pfnRegistryCount() == 0);
    EXPECT(!pfnRegistryHasTable());
    EXPECT(pfnRegistryBlocks() == 0);

    /* A second destroy of the same handle is reported and changes nothing. */
    EXPECT(strstr(DestroyCapturingStderr(lpFirst), "g_mapInstance.Lookup(lpInterface)") != NULL);
    EXPECT(pfnFailedChecks() == nChecks + 1);
    EXPECT(pfnRegistryCount() == 0);
    EXPECT(!pfnRegistryHasTable());
    EXPECT(strstr(DestroyCapturingStderr(NULL), "lpInterface") != NULL);
    EXPECT(pfnFailedChecks() == nChecks + 2);

    /* The next creation allocates the storage again, and a stale handle
     * leaves the live entry alone. */
    void* lpOther = qmCreate("IWMEncDeskVid");
    EXPECT(lpOther != NULL);
    EXPECT(pfnRegistryHasTable());
    EXPECT(pfnRegistryBlocks() == 1);
    EXPECT(strstr(DestroyCapturingStderr(lpOther == lpFirst ? lpSecond : lpFirst),
                  "g_mapInstance.Lookup(lpInterface)") != NULL);
    EXPECT(pfnFailedChecks() == nChecks + 3);
    EXPECT(pfnRegistryCount() == 1);
    EXPECT(pfnRegistryBlocks() == 1);

    qmDestroy(lpOther);
    EXPECT(pfnRegistryCount() == 0);
    EXPECT(!pfnRegistryHasTable());
}

/* An engine failure reaches the host as the same negative status, and the
 * instance stays idle. */
static void TestFailedStart(void) {
    pfnReset();
    void* lpInterface = qmCreate("IWMEncDeskVid");
    EXPECT(lpInterface != NULL);
    if (lpInterface == NULL) {
        return;
    }
    IWMEncDeskVid* pInstance = (IWMEncDeskVid*)lpInterface;
    pfnFailNth("Collection.Add", 1, (int32_t)0x80070005);
    EXPECT(Command(pInstance, CAPCMD_START, NULL) == (int32_t)0x80070005);
    EXPECT(pfnLiveObjects() == 0);
    EXPECT(Command(pInstance, CAPCMD_PAUSE, NULL) == (int32_t)0x80004005);
    EXPECT(Command(pInstance, CAPCMD_STOP, NULL) == (int32_t)0x80004005);
    pfnReset();
    qmDestroy(lpInterface);
    EXPECT(strcmp(Journal(), "") == 0);
    EXPECT(pfnRegistryCount() == 0);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: host_test LIBRARY\n");
        return 2;
    }
    g_hLibrary = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (g_hLibrary == NULL) {
        fprintf(stderr, "host_test: %s\n", dlerror());
        return 2;
    }
    /* Object and function pointers share a representation under POSIX. */
#define RESOLVE(pfn, name)             \
    do {                               \
        void* p = Resolve(name);       \
        memcpy(&(pfn), &p, sizeof(p)); \
    } while (0)
    RESOLVE(qmInit, "qmInitialize");
    RESOLVE(qmUninit, "qmUninitialize");
    RESOLVE(qmGetName, "qmGetInterfaceName");
    RESOLVE(qmCreate, "qmCreateInstance");
    RESOLVE(qmDestroy, "qmDestroyInstance");
    RESOLVE(pfnJournal, "scriptedJournal");
    RESOLVE(pfnFailNth, "scriptedFailNth");
    RESOLVE(pfnReset, "scriptedReset");
    RESOLVE(pfnLiveObjects, "scriptedLiveObjects");
    RESOLVE(pfnRegistryCount, "scriptedRegistryCount");
    RESOLVE(pfnRegistryHasTable, "scriptedRegistryHasTable");
    RESOLVE(pfnRegistryBlocks, "scriptedRegistryBlocks");
    RESOLVE(pfnFailedChecks, "scriptedFailedChecks");

    TestInterfaceName();
    TestOnlyTheExactNameCreates();
    TestRoadOfOneRecording();
    TestFailedStart();

    EXPECT(pfnLiveObjects() == 0);
    qmUninit();
    dlclose(g_hLibrary);
    if (g_nFailures != 0) {
        fprintf(stderr, "host_test: %d failure(s)\n", g_nFailures);
        return 1;
    }
    printf("host_test: all passed\n");
    return 0;
}
