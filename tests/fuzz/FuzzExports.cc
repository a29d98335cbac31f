// A hostile host for libFuzzer: loads the scripted plug-in library the way a
// host does and plays the fuzzer's bytes as a sequence of exports and
// commands with random settings, random engine statuses and random
// allocation failures. Whatever happens: no crash or sanitizer report, no
// leak, every instance can be destroyed, no engine object outlives its
// instance, and a command that finds nothing started is refused.
//
//   deskvid_fuzz [libFuzzer flags] [CORPUS...]
#include <deskvid/deskvid.h>
#include <dlfcn.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>
#include <vector>

#include "tests/plugin/scripted_hooks.h"

namespace {

struct Library {
    PFN_qmCreateInstance pfnCreate;
    PFN_qmDestroyInstance pfnDestroy;
    PFN_scriptedFailNth pfnFailNth;
    PFN_scriptedReset pfnReset;
    PFN_scriptedLiveObjects pfnLiveObjects;
    PFN_scriptedRegistryCount pfnRegistryCount;
    PFN_scriptedFailNthAllocation pfnFailNthAllocation;
};

Library g_lib;

template <class PFN>
void Resolve(void* hLibrary, const char* pszName, PFN* ppfn) {
    *ppfn = reinterpret_cast<PFN>(dlsym(hLibrary, pszName));
    if (*ppfn == nullptr) {
        std::fprintf(stderr, "deskvid_fuzz: %s not found\n", pszName);
        std::abort();
    }
}

#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "deskvid_fuzz: %s:%d: %s does not hold\n", __FILE__, __LINE__, \
                         #cond);                                                                \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// Every operation the scripted engine journals, as failure injection names it.
const char* const kOperations[] = {"new Encoder",
                                   "new Profile",
                                   "Encoder.SourceGroupCollection",
                                   "Encoder.File",
                                   "Encoder.DisplayInfo",
                                   "Encoder.PrepareToEncode",
                                   "Encoder.Start",
                                   "Encoder.Pause",
                                   "Encoder.Stop",
                                   "Collection.Add",
                                   "Collection.Active",
                                   "Group.SourceCount",
                                   "Group.RemoveSource",
                                   "Group.AddSource",
                                   "Group.Profile",
                                   "AudioSource.SetInput",
                                   "VideoSource.QueryInterface",
                                   "VideoSource.SetInput",
                                   "VideoSource.Write",
                                   "Profile.ValidateMode",
                                   "Profile.ProfileName",
                                   "Profile.ProfileDescription",
                                   "Profile.ContentType",
                                   "Profile.VBRMode",
                                   "Profile.AddAudience",
                                   "Profile.Validate",
                                   "Profile.QueryInterface",
                                   "Audience.VideoBitrate",
                                   "Audience.VideoHeight",
                                   "Audience.VideoWidth",
                                   "Audience.VideoKeyFrameDistance",
                                   "Audience.VideoFPS",
                                   "Audience.VideoImageSharpness",
                                   "File.LocalFileName",
                                   "DisplayInfo.Author",
                                   "DisplayInfo.Title"};

const int32_t kStatuses[] = {static_cast<int32_t>(0x80004005u),
                             static_cast<int32_t>(0x8007000Eu),
                             static_cast<int32_t>(0x80070057u),
                             static_cast<int32_t>(0x80040202u),
                             1,
                             2};

// One instance as the host sees it: the handle, whether a start has left it
// recording, and the file-name texts it was given, kept alive for as long as
// a later start may read them.
struct Instance {
    IWMEncDeskVid* p;
    bool bStarted;
    std::list<std::u16string> names;
};

const size_t kMaxInstances = 4;

CAPTURE_PARAMS RandomParams(FuzzedDataProvider& data, Instance& instance) {
    CAPTURE_PARAMS params = {};
    params.dwMask = data.ConsumeIntegral<uint32_t>();
    switch (data.ConsumeIntegralInRange(0, 3)) {
        case 0:
            params.lpwszFile = nullptr;
            break;
        case 1:
            params.lpwszFile = u"";
            break;
        default: {
            std::string text = data.ConsumeRandomLengthString(24);
            instance.names.emplace_back(text.begin(), text.end());
            params.lpwszFile = instance.names.back().c_str();
            break;
        }
    }
    params.bySharpness = data.ConsumeIntegral<uint8_t>();
    params.nBitrateKbps = data.ConsumeIntegral<int32_t>();
    params.nFps = data.ConsumeIntegral<int32_t>();
    params.nWidth = data.ConsumeIntegral<int32_t>();
    params.nHeight = data.ConsumeIntegral<int32_t>();
    return params;
}

void Command(FuzzedDataProvider& data, Instance& instance) {
    int nCommand = data.ConsumeIntegralInRange(0, 3);
    if (nCommand == 3) {
        nCommand = data.ConsumeIntegral<int>();
    }
    CAPTURE_PARAMS params = {};
    const bool bParams = nCommand == CAPCMD_START && data.ConsumeBool();
    if (bParams) {
        params = RandomParams(data, instance);
    }
    if (data.ConsumeBool()) {
        g_lib.pfnFailNthAllocation(data.ConsumeIntegralInRange(1, 16));
    }
    const int32_t hr = instance.p->Control(nCommand, bParams ? &params : nullptr);
    g_lib.pfnFailNthAllocation(0);
    switch (nCommand) {
        case CAPCMD_START:
            // A refused reconfiguration keeps the recording going.
            instance.bStarted = instance.bStarted || hr >= 0;
            break;
        case CAPCMD_PAUSE:
            FUZZ_CHECK(instance.bStarted || hr < 0);
            break;
        case CAPCMD_STOP:
            FUZZ_CHECK(instance.bStarted || hr < 0);
            instance.bStarted = false;
            break;
        default:
            FUZZ_CHECK(hr < 0);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    void* hLibrary = dlopen(DESKVID_SCRIPTED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (hLibrary == nullptr) {
        std::fprintf(stderr, "deskvid_fuzz: %s\n", dlerror());
        std::abort();
    }
    Resolve(hLibrary, "qmCreateInstance", &g_lib.pfnCreate);
    Resolve(hLibrary, "qmDestroyInstance", &g_lib.pfnDestroy);
    Resolve(hLibrary, "scriptedFailNth", &g_lib.pfnFailNth);
    Resolve(hLibrary, "scriptedReset", &g_lib.pfnReset);
    Resolve(hLibrary, "scriptedLiveObjects", &g_lib.pfnLiveObjects);
    Resolve(hLibrary, "scriptedRegistryCount", &g_lib.pfnRegistryCount);
    Resolve(hLibrary, "scriptedFailNthAllocation", &g_lib.pfnFailNthAllocation);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb) {
    FuzzedDataProvider data(pData, cb);
    g_lib.pfnReset();
    std::vector<Instance> instances;
    while (data.remaining_bytes() > 0) {
        switch (data.ConsumeIntegralInRange(0, 5)) {
            case 0: {
                if (instances.size() == kMaxInstances) {
                    break;
                }
                // Only the instance's own allocation is made to fail here:
                // a name that cannot be stored leaves an entry no host can
                // remove, as the registry's contract has it.
                const bool bFail = data.ConsumeIntegralInRange(0, 7) == 0;
                const bool bWrongName = data.ConsumeIntegralInRange(0, 7) == 0;
                g_lib.pfnFailNthAllocation(bFail ? 1 : 0);
                void* lpInterface =
                    g_lib.pfnCreate(bWrongName ? "IWMEncDeskVid " : "IWMEncDeskVid");
                g_lib.pfnFailNthAllocation(0);
                FUZZ_CHECK((lpInterface == nullptr) == (bFail || bWrongName));
                if (lpInterface != nullptr) {
                    instances.push_back({static_cast<IWMEncDeskVid*>(lpInterface), false, {}});
                }
                break;
            }
            case 1:
                if (!instances.empty()) {
                    const size_t i = data.ConsumeIntegralInRange<size_t>(0, instances.size() - 1);
                    g_lib.pfnDestroy(instances[i].p);
                    instances.erase(instances.begin() + static_cast<std::ptrdiff_t>(i));
                }
                break;
            case 2:
                g_lib.pfnFailNth(data.PickValueInArray(kOperations),
                                 data.ConsumeIntegralInRange(1, 8),
                                 data.ConsumeBool() ? data.PickValueInArray(kStatuses)
                                                    : data.ConsumeIntegral<int32_t>());
                break;
            default:
                if (!instances.empty()) {
                    const size_t i = data.ConsumeIntegralInRange<size_t>(0, instances.size() - 1);
                    Command(data, instances[i]);
                }
                break;
        }
        FUZZ_CHECK(g_lib.pfnRegistryCount() == static_cast<int>(instances.size()));
    }
    for (Instance& instance : instances) {
        g_lib.pfnDestroy(instance.p);
    }
    FUZZ_CHECK(g_lib.pfnRegistryCount() == 0);
    FUZZ_CHECK(g_lib.pfnLiveObjects() == 0);
    g_lib.pfnReset();
    return 0;
}
