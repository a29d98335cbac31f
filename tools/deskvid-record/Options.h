// deskvid-record's command line: what the user asked for, checked before
// anything is loaded or started. Kept apart from the recording code so that
// it can be tested on its own.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include <deskvid/deskvid.h>

namespace record {

// Everything the command line says. A capture setting that was not given
// keeps its CAPF_ bit clear in dwMask, so the plug-in's own default applies.
struct COptions {
    std::string strOutput;   // UTF-8 path; empty: a default name is chosen
    std::string strLibrary;  // empty: look beside the executable
    uint32_t dwMask = 0;     // CAPF_SHARPNESS, CAPF_FPS, CAPF_BITRATE, CAPF_SIZE
    uint8_t bySharpness = 0;
    int32_t nBitrateKbps = 0;
    int32_t nFps = 0;
    int32_t nWidth = 0;
    int32_t nHeight = 0;
    std::string strAudio;         // "input", "output", "both"; empty: the library's default
    double dDurationSeconds = 0;  // 0: until stopped
    bool fRaw = false;            // pass out-of-range values through
    bool fOverwrite = false;      // replace an existing output
    bool fConstantRate = false;   // a picture in every frame slot
    bool fHelp = false;
};

enum class ParseResult { kRun, kHelp, kError };

// Parses argv[1..argc-1]. On kError, *pstrError holds one line saying what is
// wrong (without the program name).
ParseResult ParseOptions(int argc, const char* const* argv, COptions* pOptions,
                         std::string* pstrError);

// The usage text that --help prints.
const char* UsageText();

// "deskvid-YYYYmmdd-HHMMSS.wmv" for the given local time.
std::string DefaultFileName(std::time_t t);

// The start block for the options. lpwszFile must stay valid for as long as
// the instance may start again: a resume reads it once more.
CAPTURE_PARAMS MakeCaptureParams(const COptions& options, const char16_t* lpwszFile);

}  // namespace record
