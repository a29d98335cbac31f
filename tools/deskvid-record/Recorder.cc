#include "Recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <deskvid/deskvid.h>
#include <deskvid/deskvid_status.h>

#include "Console.h"
#include "Library.h"
#include "Output.h"
#include "Summary.h"
#include "port/Utf.h"

namespace record {

namespace {

// Recorded time: wall-clock time while recording, pauses left out.
class CRecordClock {
public:
    using Clock = std::chrono::steady_clock;

    void Start() { m_tRunningSince = Clock::now(); }
    void Pause() {
        m_dRecorded += Since(m_tRunningSince);
        m_tPausedSince = Clock::now();
        m_fPaused = true;
        ++m_nPauses;
    }
    void Resume() {
        m_dPaused += Since(m_tPausedSince);
        m_tRunningSince = Clock::now();
        m_fPaused = false;
    }
    double Recorded() const { return m_dRecorded + (m_fPaused ? 0 : Since(m_tRunningSince)); }
    double Paused() const { return m_dPaused + (m_fPaused ? Since(m_tPausedSince) : 0); }
    bool IsPaused() const { return m_fPaused; }
    int Pauses() const { return m_nPauses; }

private:
    static double Since(Clock::time_point t) {
        return std::chrono::duration<double>(Clock::now() - t).count();
    }

    Clock::time_point m_tRunningSince{};
    Clock::time_point m_tPausedSince{};
    double m_dRecorded = 0;
    double m_dPaused = 0;
    bool m_fPaused = false;
    int m_nPauses = 0;
};

// A stop that fails with these still finalised the file: a device (the
// display, the audio input) was lost, or memory ran out, while recording;
// what was recorded before is whole. Any other failure (a write, the
// encoder) may have left the file incomplete.
bool FinalisedDespite(int32_t hrStop) {
    constexpr int32_t kOutOfMemory = static_cast<int32_t>(0x8007000Eu);
    return hrStop == DV_E_NO_DISPLAY || hrStop == DV_E_NO_AUDIO || hrStop == kOutOfMemory;
}

void SetEnvironment(const char* pszName, const char* pszValue) {
#ifdef _WIN32
    _putenv_s(pszName, pszValue);
#else
    setenv(pszName, pszValue, 1);
#endif
}

void Say(const char* pszText) {
    std::fprintf(stderr, "deskvid-record: %s\n", pszText);
}

void SayStatus(const std::string& strWhat, int32_t hr) {
    std::fprintf(stderr, "deskvid-record: %s: status 0x%08X (%s)\n", strWhat.c_str(),
                 static_cast<unsigned>(hr), DeskVidStatusText(hr));
}

// The live status line, on a terminal only, redrawn in place.
class CStatusLine {
public:
    CStatusLine() : m_fActive(StatusLineAvailable()) {}
    bool Active() const { return m_fActive; }
    void Show(const CRecordClock& clock, const std::string& strFile) {
        if (!m_fActive) {
            return;
        }
        const double dRecorded = clock.Recorded();
        const uint64_t cb = FileSize(strFile);
        std::fprintf(stderr, "\r%s  %s  %s  %.0f kbit/s  [p] pause/resume  [q] stop\033[K",
                     clock.IsPaused() ? "PAUSED   " : "RECORDING",
                     FormatDuration(dRecorded).c_str(), FormatSize(cb).c_str(),
                     AverageKbps(cb, dRecorded));
        std::fflush(stderr);
    }
    void Clear() {
        if (m_fActive) {
            std::fputs("\r\033[K", stderr);
            std::fflush(stderr);
        }
    }

private:
    bool m_fActive;
};

// A command that failed while recording.
struct SFailure {
    const char* pszWhat = nullptr;
    int32_t hr = 0;
};

// From a successful start to the moment the user or --duration ends it, or a
// pause or resume fails. Returns what failed, if anything.
SFailure RunUntilStopped(IWMEncDeskVid* pCapture, const COptions& options,
                         const std::string& strFile, CUserRequests* pRequests,
                         CRecordClock* pClock) {
    // Keys are taken only while recording, and given back on every path.
    struct CKeys {
        CUserRequests* p;
        ~CKeys() { p->EndKeys(); }
    } keys{pRequests};
    pRequests->BeginKeys();
    CStatusLine status;
    std::fprintf(stderr, "deskvid-record: recording to %s\n", strFile.c_str());
    std::fflush(stderr);

    pClock->Start();
    for (;;) {
        status.Show(*pClock, strFile);
        double dWait = 0.2;
        if (options.dDurationSeconds > 0 && !pClock->IsPaused()) {
            const double dLeft = options.dDurationSeconds - pClock->Recorded();
            if (dLeft <= 0) {
                break;
            }
            dWait = std::min(dWait, dLeft);
        }
        std::vector<bool> rgfPause;
        bool fStop = false;
        pRequests->Wait(dWait, pClock->IsPaused(), &rgfPause, &fStop);
        if (fStop) {
            break;
        }
        for (const bool fPause : rgfPause) {
            if (fPause == pClock->IsPaused()) {
                continue;
            }
            if (fPause) {
                const int32_t hr = pCapture->Control(CAPCMD_PAUSE, nullptr);
                if (hr < 0) {
                    status.Clear();
                    return SFailure{"pause failed", hr};
                }
                pClock->Pause();
            } else {
                // Resuming is a start that selects nothing: the instance
                // keeps its settings and reads the same file name again, so
                // the recording continues in the same file.
                CAPTURE_PARAMS resume{};
                resume.dwMask = 0;
                const int32_t hr = pCapture->Control(CAPCMD_START, &resume);
                if (hr < 0) {
                    status.Clear();
                    return SFailure{"resume failed", hr};
                }
                pClock->Resume();
            }
            if (!status.Active()) {
                std::fprintf(stderr, "deskvid-record: %s at %s\n",
                             pClock->IsPaused() ? "paused" : "resumed",
                             FormatDuration(pClock->Recorded()).c_str());
                std::fflush(stderr);
            }
        }
    }
    status.Clear();
    return SFailure{};
}

// With the instance created: start, record, stop. Returns the exit status.
int RunRecording(IWMEncDeskVid* pCapture, const COptions& options, const std::string& strFile,
                 const std::u16string& wstrFile, const std::string& strLibrary,
                 CUserRequests* pRequests) {
    if (!options.fOverwrite && OutputIsTaken(strFile)) {
        std::fprintf(stderr, "deskvid-record: %s exists; give -y (--overwrite) to replace it\n",
                     strFile.c_str());
        return 2;
    }
    const CAPTURE_PARAMS params = MakeCaptureParams(options, wstrFile.c_str());
    const int32_t hrStart = pCapture->Control(CAPCMD_START, &params);
    if (hrStart < 0) {
        // A refused start leaves the name as it was; a file there now is
        // another recorder's, started meanwhile, and stays.
        SayStatus("cannot start recording to " + strFile, hrStart);
        return 1;
    }

    CRecordClock clock;
    const SFailure failure = RunUntilStopped(pCapture, options, strFile, pRequests, &clock);
    if (clock.IsPaused()) {
        clock.Resume();  // the time spent paused ends here
    }
    const double dRecorded = clock.Recorded();
    const double dPaused = clock.Paused();
    if (failure.pszWhat != nullptr) {
        SayStatus(failure.pszWhat, failure.hr);
    }

    std::fprintf(stderr, "deskvid-record: stopping\n");
    std::fflush(stderr);
    const int32_t hrStop = pCapture->Control(CAPCMD_STOP, nullptr);
    const bool fLost = hrStop < 0 && FinalisedDespite(hrStop);
    if (fLost) {
        // The file was finalised: it keeps its name; what was lost is said.
        SayStatus("a source was gone at the stop, or memory ran out, while recording", hrStop);
    } else if (hrStop < 0) {
        SayStatus("stopping failed; the recording is incomplete", hrStop);
        // Never leave a file under its own name that looks finished, and
        // never lose another file to make room for it.
        std::string strPartial;
        if (MoveAside(strFile, &strPartial)) {
            Say(("what was written is in " + strPartial).c_str());
        } else if (IsRegularFile(strFile) && RemoveFile(strFile)) {
            Say(("removed " + strFile).c_str());
        }
        return 1;
    }

    SRecordingFacts facts;
    facts.strFile = strFile;
    facts.strLibrary = strLibrary;
    facts.dRecordedSeconds = dRecorded;
    facts.dPausedSeconds = dPaused;
    facts.nPauses = clock.Pauses();
    facts.nFps = (options.dwMask & CAPF_FPS) != 0 ? options.nFps : DESKVID_DEFAULT_FPS;
    facts.cbFile = FileSize(strFile);
    std::vector<SProbeStream> rgStreams;
    if (!ProbeFile(strFile, &rgStreams)) {
        rgStreams.clear();
    }
    PrintSummary(stdout, facts, rgStreams);
    if (failure.pszWhat != nullptr || fLost) {
        Say(("the recording up to the failure was finalised in " + strFile).c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int Record(const COptions& options) {
    CUserRequests requests;

    // The plug-in takes the sound to record, and whether every slot gets a
    // picture, from its process's environment when a recording opens.
    if (!options.strAudio.empty()) {
        SetEnvironment("DESKVID_AUDIO", options.strAudio.c_str());
    }
    if (options.fConstantRate) {
        SetEnvironment("DESKVID_TIMING", "constant");
    }

    hostlib::CDeskVidLibrary library;
    std::string strError;
    const bool fLoaded =
        options.strLibrary.empty()
            ? LoadFirstLibrary(&library, DefaultLibraryCandidates(ExecutableDir()), &strError)
            : LoadAt(&library, options.strLibrary, &strError);
    if (!fLoaded) {
        Say(("cannot load the plug-in library: " + strError).c_str());
        return 1;
    }

    // The road every host takes: initialise, learn the interface names (an
    // enumeration by index ends at the first false), create an instance.
    if (!library.m_pfnInitialize()) {
        Say("the plug-in library failed to initialise");
        return 1;
    }
    bool fOffered = false;
    for (int i = 0; i < 1000; ++i) {
        char szName[256] = {};
        if (!library.m_pfnGetInterfaceName(i, szName)) {
            break;
        }
        szName[sizeof(szName) - 1] = '\0';
        fOffered = fOffered || std::strcmp(szName, DESKVID_INTERFACE_NAME) == 0;
    }
    if (!fOffered) {
        Say(("the library does not offer " DESKVID_INTERFACE_NAME ": " + library.Path()).c_str());
        library.m_pfnUninitialize();
        return 1;
    }
    // The handle is the instance's address, and IWMEncDeskVid its only base.
    auto* pCapture =
        static_cast<IWMEncDeskVid*>(library.m_pfnCreateInstance(DESKVID_INTERFACE_NAME));
    if (pCapture == nullptr) {
        Say("the library could not create a capture instance");
        library.m_pfnUninitialize();
        return 1;
    }

    // The instance keeps a pointer to the file name, not a copy, and reads it
    // again on every later start: this text lives until the instance is gone.
    const std::string strFile =
        options.strOutput.empty() ? DefaultFileName(std::time(nullptr)) : options.strOutput;
    const std::u16string wstrFile = port::Utf8ToUtf16(strFile);

    const int nExit = RunRecording(pCapture, options, strFile, wstrFile, library.Path(), &requests);
    library.m_pfnDestroyInstance(pCapture);
    library.m_pfnUninitialize();
    return nExit;
}

}  // namespace record
