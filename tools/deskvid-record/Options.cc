#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "port/Utf.h"

namespace record {

namespace {

// Ranges a recording can sensibly use. The bit rate and frame rate are
// multiplied by 1000 on their way to the engine, so these keep the products
// within 32 bits. --raw lifts them.
struct SRange {
    const char* pszName;
    int64_t nMin, nMax;            // what a recording can use
    const char* pszRange;          // the same, in words
    int64_t nFieldMin, nFieldMax;  // what the field holds: the limit under --raw
};
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr SRange kBitrate = {"--bitrate",    1,         kInt32Max / 1000,
                             "1 to 2147483", kInt32Min, kInt32Max};
constexpr SRange kFps = {"--fps", 1, 1000, "1 to 1000", kInt32Min, kInt32Max};
constexpr SRange kSharpness = {"--sharpness", 0, 100, "0 to 100", 0, 255};
constexpr SRange kSide = {"--size", 1, 16384, "each side 1 to 16384", kInt32Min, kInt32Max};
constexpr double kMaxDurationSeconds = 366.0 * 24 * 3600;

// A numeric constant of the public header as text, for the usage text.
#define DESKVID_TEXT_(x) #x
#define DESKVID_TEXT(x) DESKVID_TEXT_(x)

// How the user steers a recording and where the library is looked for
// differ between the platforms.
#ifdef _WIN32
#define DESKVID_USAGE_CONTROLS                                                      \
    "    On a console one status line shows the recorded time (pauses excluded),\n" \
    "    whether it is recording or paused, the file's size and its average bit\n"  \
    "    rate. Keys:  p  pause or resume;  q, Ctrl-C or Ctrl-Break  stop and\n"     \
    "    finalise the file.\n"
#define DESKVID_USAGE_LIBRARY                                                 \
    "        The plug-in library to load. Default: deskvid.dll beside this\n" \
    "        program (or in the build tree's plugin folder), else from the\n" \
    "        system's DLL search path.\n"
#else
#define DESKVID_USAGE_CONTROLS                                                         \
    "    On a terminal one status line shows the recorded time (pauses excluded),\n"   \
    "    whether it is recording or paused, the file's size and its average bit\n"     \
    "    rate. Keys:  p  pause or resume;  q or Ctrl-C  stop and finalise the file.\n" \
    "    Signals: SIGUSR1 pauses and SIGUSR2 resumes (each leaves the recording\n"     \
    "    as it asks, however often it comes); SIGINT, SIGTERM and SIGHUP stop\n"       \
    "    cleanly.\n"
#define DESKVID_USAGE_LIBRARY                                                        \
    "        The plug-in library to load. Default: libdeskvid.so from the build\n"   \
    "        tree or the installation that this program belongs to, else from the\n" \
    "        system's library path.\n"
#endif

const char g_szUsage[] =
    "NAME\n"
    "    deskvid-record - record the screen and the default audio input with deskvid\n"
    "\n"
    "SYNOPSIS\n"
    "    deskvid-record [OPTION]...\n"
    "\n"
    "DESCRIPTION\n"
    "    Loads the deskvid plug-in library the way a host application does, creates\n"
    "    one capture instance and records the whole screen and the default audio\n"
    "    input into a Windows Media file (WMV2 video, WMA2 audio), until --duration\n"
    "    has been recorded or it is told to stop. Then it prints a summary.\n"
    "\n"
    DESKVID_USAGE_CONTROLS
    "\n"
    "OPTIONS\n"
    "    -o, --output FILE\n"
    "        The file to record into. Default: deskvid-YYYYmmdd-HHMMSS.wmv in the\n"
    "        current folder. An existing file is not replaced unless -y is given.\n"
    "    -y, --overwrite\n"
    "        Replace the output file if it exists.\n"
    "    --bitrate KBPS\n"
    "        Video bit rate in kbit/s, 1 to 2147483. Plug-in default: " DESKVID_TEXT(DESKVID_DEFAULT_BITRATE_KBPS) ".\n"
    "    --fps N\n"
    "        Frames per second, 1 to 1000. Plug-in default: " DESKVID_TEXT(DESKVID_DEFAULT_FPS) ".\n"
    "    --size WxH\n"
    "        Output size in pixels, each side 1 to 16384; 0x0 is the screen's own\n"
    "        size, which is also the plug-in default.\n"
    "    --constant-rate\n"
    "        A picture in every frame slot, also where nothing changed (a few bytes\n"
    "        each), for video editors that handle a variable frame rate poorly.\n"
    "        Sets DESKVID_TIMING=constant for the plug-in. Default: pictures only\n"
    "        where the screen changed, and at least one a second.\n"
    "    --sharpness N\n"
    "        Image sharpness, 0 to 100 (higher is sharper). Plug-in default: " DESKVID_TEXT(DESKVID_DEFAULT_SHARPNESS) ".\n"
    "    --audio input|output|both\n"
    "        The sound to record: input is the default audio input (the\n"
    "        microphone), the default; output is what the default output plays\n"
    "        (the other side of a call); both mixes the two into the one sound\n"
    "        track, each kept in time with the picture. No echo cancellation is\n"
    "        done: with loudspeakers the microphone also hears what is played.\n"
    "        Sets DESKVID_AUDIO for the plug-in.\n"
    "    --duration SECONDS\n"
    "        Stop after this much recorded time (pauses excluded); decimals are\n"
    "        allowed. Default: record until stopped.\n"
    "    --library PATH\n"
    DESKVID_USAGE_LIBRARY
    "    --raw\n"
    "        Pass values outside the ranges above to the plug-in unchanged, so that\n"
    "        its own checks answer them. They must still be integers that fit the\n"
    "        field (sharpness 0 to 255, the others 32-bit signed).\n"
    "    -h, --help\n"
    "        Print this text and exit.\n"
    "\n"
    "    Options that are not given leave the plug-in's defaults in force. Values\n"
    "    may also be written --option=VALUE.\n"
    "\n"
    "EXIT STATUS\n"
    "    0   the recording was stopped and its file finalised\n"
    "    1   the library could not be used, or a command failed: the status is\n"
    "        printed in hex with its description. After a failed pause or\n"
    "        resume, or when a source was lost (or memory ran out) while\n"
    "        recording, the recording so far is still stopped and finalised.\n"
    "    2   the command line is wrong, or the output exists and -y was not\n"
    "        given; nothing was started\n"
    "\n"
    "FILES\n"
    "    When stopping fails otherwise (a write, the encoder), the file cannot\n"
    "    be trusted to be complete: it is renamed to FILE.partial, or\n"
    "    FILE.1.partial, FILE.2.partial and so on when that name is taken (an\n"
    "    existing file is never replaced). When starting fails, a file that the\n"
    "    attempt created is removed.\n";

enum class IntegerSyntax { kOk, kNotInteger, kTooLarge };

// Parses a whole decimal integer: an optional minus sign and digits, nothing
// else (no blanks, no plus sign, no trailing characters).
IntegerSyntax ParseInteger(const std::string& str, int64_t* pn) {
    const size_t iDigits = (!str.empty() && str[0] == '-') ? 1 : 0;
    if (str.size() == iDigits ||
        str.find_first_not_of("0123456789", iDigits) != std::string::npos) {
        return IntegerSyntax::kNotInteger;
    }
    errno = 0;
    char* pszEnd = nullptr;
    const long long n = std::strtoll(str.c_str(), &pszEnd, 10);
    if (errno == ERANGE) {
        return IntegerSyntax::kTooLarge;
    }
    *pn = n;
    return IntegerSyntax::kOk;
}

class CParser {
public:
    CParser(int argc, const char* const* argv, COptions* pOptions, std::string* pstrError)
        : m_argc(argc), m_argv(argv), m_pOptions(pOptions), m_pstrError(pstrError) {}

    ParseResult Run();

private:
    bool TakeValue(const std::string& strName, const std::string* pstrInline, std::string* pstr);
    bool SetInteger(const SRange& range, const std::string& strValue, int64_t* pn);
    bool SetSize(const std::string& strValue);
    bool SetDuration(const std::string& strValue);
    bool Fail(const std::string& str) {
        *m_pstrError = str;
        return false;
    }

    int m_argc;
    const char* const* m_argv;
    int m_i = 1;
    COptions* m_pOptions;
    std::string* m_pstrError;
    // Values are checked after the whole line is read, since --raw may come last.
    std::string m_strFps, m_strBitrate, m_strSharpness, m_strSize;
};

bool CParser::TakeValue(const std::string& strName, const std::string* pstrInline,
                        std::string* pstr) {
    if (pstrInline != nullptr) {
        *pstr = *pstrInline;
    } else if (m_i < m_argc) {
        *pstr = m_argv[m_i++];
    } else {
        return Fail(strName + " needs a value");
    }
    if (pstr->empty()) {
        return Fail(strName + " needs a value, not an empty one");
    }
    return true;
}

bool CParser::SetInteger(const SRange& range, const std::string& strValue, int64_t* pn) {
    const std::string strName = range.pszName;
    int64_t n = 0;
    switch (ParseInteger(strValue, &n)) {
        case IntegerSyntax::kOk:
            break;
        case IntegerSyntax::kNotInteger:
            return Fail(strName + ": '" + strValue + "' is not a whole number");
        case IntegerSyntax::kTooLarge:
            return Fail(strName + ": " + strValue + " is far too large");
    }
    if (m_pOptions->fRaw) {
        if (n < range.nFieldMin || n > range.nFieldMax) {
            return Fail(strName + ": " + strValue + " does not fit the field (" +
                        std::to_string(range.nFieldMin) + " to " + std::to_string(range.nFieldMax) +
                        ")");
        }
    } else if (n < range.nMin || n > range.nMax) {
        return Fail(strName + ": " + strValue + " is out of range (" + range.pszRange +
                    "; --raw passes it to the plug-in anyway)");
    }
    *pn = n;
    return true;
}

bool CParser::SetSize(const std::string& strValue) {
    const size_t iX = strValue.find_first_of("xX");
    if (iX == std::string::npos || iX == 0 || iX + 1 == strValue.size()) {
        return Fail("--size: '" + strValue + "' is not WIDTHxHEIGHT (for example 1280x720)");
    }
    const std::string strWidth = strValue.substr(0, iX);
    const std::string strHeight = strValue.substr(iX + 1);
    int64_t nWidth = 0, nHeight = 0;
    // 0x0 asks for the screen's own size.
    if (!(strWidth == "0" && strHeight == "0") &&
        !(SetInteger(kSide, strWidth, &nWidth) && SetInteger(kSide, strHeight, &nHeight))) {
        return false;
    }
    m_pOptions->nWidth = static_cast<int32_t>(nWidth);
    m_pOptions->nHeight = static_cast<int32_t>(nHeight);
    m_pOptions->dwMask |= CAPF_SIZE;
    return true;
}

bool CParser::SetDuration(const std::string& strValue) {
    const char* psz = strValue.c_str();
    errno = 0;
    char* pszEnd = nullptr;
    // Digits and at most one point only: no blanks, signs, exponents, hex,
    // "inf" or "nan".
    if (strValue.find_first_not_of("0123456789.") != std::string::npos ||
        strValue.find_first_of("0123456789") == std::string::npos) {
        return Fail("--duration: '" + strValue + "' is not a number of seconds");
    }
    const double d = std::strtod(psz, &pszEnd);
    if (*pszEnd != '\0' || errno == ERANGE || !std::isfinite(d)) {
        return Fail("--duration: '" + strValue + "' is not a number of seconds");
    }
    if (d <= 0 || d > kMaxDurationSeconds) {
        return Fail("--duration: " + strValue + " is out of range (more than 0, at most 366 days)");
    }
    m_pOptions->dDurationSeconds = d;
    return true;
}

ParseResult CParser::Run() {
    while (m_i < m_argc) {
        std::string strArg = m_argv[m_i++];
        if (strArg == "--") {
            if (m_i < m_argc) {
                Fail(std::string("unexpected argument '") + m_argv[m_i] + "'");
                return ParseResult::kError;
            }
            break;
        }
        std::string strName = strArg;
        std::string strInline;
        bool fInline = false;
        if (strArg.rfind("--", 0) == 0) {
            const size_t iEq = strArg.find('=');
            if (iEq != std::string::npos) {
                strName = strArg.substr(0, iEq);
                strInline = strArg.substr(iEq + 1);
                fInline = true;
            }
        } else if (strArg.size() > 2 && strArg.rfind("-o", 0) == 0) {
            strName = "-o";
            strInline = strArg.substr(2);
            fInline = true;
        }
        const std::string* pstrInline = fInline ? &strInline : nullptr;

        bool fOk = true;
        if (strName == "-h" || strName == "--help") {
            m_pOptions->fHelp = true;
            fOk = !fInline || Fail(strName + " takes no value");
        } else if (strName == "--raw") {
            m_pOptions->fRaw = true;
            fOk = !fInline || Fail(strName + " takes no value");
        } else if (strName == "-y" || strName == "--overwrite") {
            m_pOptions->fOverwrite = true;
            fOk = !fInline || Fail(strName + " takes no value");
        } else if (strName == "--constant-rate") {
            m_pOptions->fConstantRate = true;
            fOk = !fInline || Fail(strName + " takes no value");
        } else if (strName == "-o" || strName == "--output") {
            fOk = TakeValue(strName, pstrInline, &m_pOptions->strOutput);
        } else if (strName == "--library") {
            fOk = TakeValue(strName, pstrInline, &m_pOptions->strLibrary);
        } else if (strName == "--bitrate") {
            fOk = TakeValue(strName, pstrInline, &m_strBitrate);
        } else if (strName == "--fps") {
            fOk = TakeValue(strName, pstrInline, &m_strFps);
        } else if (strName == "--sharpness") {
            fOk = TakeValue(strName, pstrInline, &m_strSharpness);
        } else if (strName == "--size") {
            fOk = TakeValue(strName, pstrInline, &m_strSize);
        } else if (strName == "--audio") {
            fOk = TakeValue(strName, pstrInline, &m_pOptions->strAudio) &&
                  (m_pOptions->strAudio == "input" || m_pOptions->strAudio == "output" ||
                   m_pOptions->strAudio == "both" ||
                   Fail("--audio takes input, output or both, not '" + m_pOptions->strAudio + "'"));
        } else if (strName == "--duration") {
            std::string strValue;
            fOk = TakeValue(strName, pstrInline, &strValue) && SetDuration(strValue);
        } else if (strArg.size() > 1 && strArg[0] == '-') {
            fOk = Fail("unknown option '" + strName + "'");
        } else {
            fOk = Fail("unexpected argument '" + strArg + "'");
        }
        if (!fOk) {
            return ParseResult::kError;
        }
    }
    if (m_pOptions->fHelp) {
        return ParseResult::kHelp;
    }

    int64_t n = 0;
    if (!m_strBitrate.empty()) {
        if (!SetInteger(kBitrate, m_strBitrate, &n)) {
            return ParseResult::kError;
        }
        m_pOptions->nBitrateKbps = static_cast<int32_t>(n);
        m_pOptions->dwMask |= CAPF_BITRATE;
    }
    if (!m_strFps.empty()) {
        if (!SetInteger(kFps, m_strFps, &n)) {
            return ParseResult::kError;
        }
        m_pOptions->nFps = static_cast<int32_t>(n);
        m_pOptions->dwMask |= CAPF_FPS;
    }
    if (!m_strSharpness.empty()) {
        if (!SetInteger(kSharpness, m_strSharpness, &n)) {
            return ParseResult::kError;
        }
        m_pOptions->bySharpness = static_cast<uint8_t>(n);
        m_pOptions->dwMask |= CAPF_SHARPNESS;
    }
    if (!m_strSize.empty() && !SetSize(m_strSize)) {
        return ParseResult::kError;
    }
    if (!m_pOptions->strOutput.empty()) {
        bool bExact = true;
        port::Utf8ToUtf16(m_pOptions->strOutput, &bExact);
        if (!bExact) {
            Fail("--output: the file name is not valid UTF-8");
            return ParseResult::kError;
        }
    }
    return ParseResult::kRun;
}

}  // namespace

ParseResult ParseOptions(int argc, const char* const* argv, COptions* pOptions,
                         std::string* pstrError) {
    *pOptions = COptions();
    pstrError->clear();
    return CParser(argc, argv, pOptions, pstrError).Run();
}

const char* UsageText() {
    return g_szUsage;
}

std::string DefaultFileName(std::time_t t) {
    std::tm tmLocal{};
#ifdef _WIN32
    localtime_s(&tmLocal, &t);
#else
    localtime_r(&t, &tmLocal);
#endif
    char sz[64];
    std::strftime(sz, sizeof(sz), "deskvid-%Y%m%d-%H%M%S.wmv", &tmLocal);
    return sz;
}

CAPTURE_PARAMS MakeCaptureParams(const COptions& options, const char16_t* lpwszFile) {
    CAPTURE_PARAMS params{};
    params.dwMask = options.dwMask | CAPF_FILE;
    // DVWCHAR is a UTF-16 unit on every target (wchar_t on Windows).
    params.lpwszFile = reinterpret_cast<const DVWCHAR*>(lpwszFile);
    params.bySharpness = options.bySharpness;
    params.nBitrateKbps = options.nBitrateKbps;
    params.nFps = options.nFps;
    params.nWidth = options.nWidth;
    params.nHeight = options.nHeight;
    return params;
}

}  // namespace record
