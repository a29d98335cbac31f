#include "Summary.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#ifndef _WIN32
#include "tools/hostlib/ChildProcess.h"
#endif

namespace record {

namespace {

std::string Get(const SProbeStream& stream, const char* pszKey) {
    auto it = stream.find(pszKey);
    return (it == stream.end() || it->second == "N/A") ? std::string() : it->second;
}

double GetNumber(const SProbeStream& stream, const char* pszKey) {
    const std::string str = Get(stream, pszKey);
    if (str.empty()) {
        return 0;
    }
    char* pszEnd = nullptr;
    const double d = std::strtod(str.c_str(), &pszEnd);
    return (*pszEnd == '\0' && std::isfinite(d)) ? d : 0;
}

std::string Printf(const char* pszFormat, double d) {
    char sz[64];
    std::snprintf(sz, sizeof(sz), pszFormat, d);
    return sz;
}

}  // namespace

std::vector<SProbeStream> ParseProbeOutput(const std::string& strText) {
    std::vector<SProbeStream> rgStreams;
    std::istringstream in(strText);
    std::string strLine;
    SProbeStream* pCurrent = nullptr;
    while (std::getline(in, strLine)) {
        if (strLine == "[STREAM]" || strLine == "[FORMAT]") {
            rgStreams.emplace_back();
            pCurrent = &rgStreams.back();
            (*pCurrent)["section"] = strLine == "[STREAM]" ? "stream" : "format";
        } else if (strLine == "[/STREAM]" || strLine == "[/FORMAT]") {
            pCurrent = nullptr;
        } else if (pCurrent != nullptr) {
            const size_t iEq = strLine.find('=');
            if (iEq != std::string::npos) {
                (*pCurrent)[strLine.substr(0, iEq)] = strLine.substr(iEq + 1);
            }
        }
    }
    return rgStreams;
}

#ifdef _WIN32
// ffprobe is not a tool a Windows machine has: the summary goes without it.
bool ProbeFile(const std::string&, std::vector<SProbeStream>*) {
    return false;
}
#else
bool ProbeFile(const std::string& strFile, std::vector<SProbeStream>* prgStreams) {
    // "file:" keeps a name that starts with a protocol or a dash a file name.
    // Counting the packets reads the whole file: a generous deadline.
    const hostlib::SRunResult result =
        hostlib::RunToEnd({"ffprobe", "-v", "error", "-count_packets", "-show_entries",
                           "stream=codec_type,codec_name,width,height,sample_rate,"
                           "channels,bit_rate,nb_read_packets,duration:"
                           "format_tags=deskvid_dropped_frames,deskvid_audio_gap_ms",
                           "-of", "default", "file:" + strFile},
                          600);
    if (result.nExit != 0) {
        return false;
    }
    *prgStreams = ParseProbeOutput(result.strOut);
    return true;
}
#endif

std::string FormatDuration(double dSeconds) {
    if (!(dSeconds >= 0)) {
        dSeconds = 0;
    }
    const long nTenths = std::lround(dSeconds * 10);
    const long nSeconds = nTenths / 10;
    char sz[64];
    if (nSeconds >= 3600) {
        std::snprintf(sz, sizeof(sz), "%ld:%02ld:%02ld.%ld", nSeconds / 3600, nSeconds / 60 % 60,
                      nSeconds % 60, nTenths % 10);
    } else if (nSeconds >= 60) {
        std::snprintf(sz, sizeof(sz), "%ld:%02ld.%ld", nSeconds / 60, nSeconds % 60, nTenths % 10);
    } else {
        std::snprintf(sz, sizeof(sz), "%ld.%ld s", nSeconds, nTenths % 10);
    }
    return sz;
}

std::string FormatSize(uint64_t cb) {
    if (cb < 1024) {
        return std::to_string(cb) + " B";
    }
    static const char* const rgpszUnit[] = {"KiB", "MiB", "GiB", "TiB"};
    double d = static_cast<double>(cb) / 1024;
    size_t i = 0;
    while (d >= 1024 && i + 1 < sizeof(rgpszUnit) / sizeof(rgpszUnit[0])) {
        d /= 1024;
        ++i;
    }
    return Printf("%.1f ", d) + rgpszUnit[i];
}

double AverageKbps(uint64_t cb, double dSeconds) {
    return dSeconds > 0 ? static_cast<double>(cb) * 8 / 1000 / dSeconds : 0;
}

void PrintSummary(std::FILE* pFile, const SRecordingFacts& facts,
                  const std::vector<SProbeStream>& rgStreams) {
    std::fprintf(pFile, "file      %s\n", facts.strFile.c_str());
    std::string strPauses = "no pauses";
    if (facts.nPauses > 0) {
        strPauses = std::to_string(facts.nPauses) +
                    (facts.nPauses == 1 ? " pause, " : " pauses, ") +
                    FormatDuration(facts.dPausedSeconds) + " paused";
    }
    std::fprintf(pFile, "recorded  %s (%s)\n", FormatDuration(facts.dRecordedSeconds).c_str(),
                 strPauses.c_str());
    std::fprintf(pFile, "size      %s, %.0f kbit/s on average\n", FormatSize(facts.cbFile).c_str(),
                 AverageKbps(facts.cbFile, facts.dRecordedSeconds));
    if (rgStreams.empty()) {
        std::fprintf(pFile,
                     "streams   (not described: ffprobe is missing or cannot read the file)\n");
    }
    for (const SProbeStream& stream : rgStreams) {
        const std::string strType = Get(stream, "codec_type");
        if (Get(stream, "section") != "stream") {
            continue;
        }
        std::string strLine = Get(stream, "codec_name");
        const double dDuration = GetNumber(stream, "duration");
        const std::string strDuration = dDuration > 0 ? ", " + FormatDuration(dDuration) : "";
        if (strType == "video") {
            const double nFrames = GetNumber(stream, "nb_read_packets");
            strLine += " " + Get(stream, "width") + "x" + Get(stream, "height") + strDuration +
                       ", " + Printf("%.0f", nFrames) + " frames";
            if (facts.dRecordedSeconds > 0 && facts.nFps > 0) {
                // Frames the encoder could not keep up with are missing here.
                const double nExpected = facts.dRecordedSeconds * facts.nFps;
                strLine += Printf(" (%.1f fps", nFrames / facts.dRecordedSeconds) + " of " +
                           std::to_string(facts.nFps) + " asked";
                if (nFrames < nExpected * 0.95) {
                    strLine += Printf(", about %.0f short", nExpected - nFrames);
                }
                strLine += ")";
            }
        } else if (strType == "audio") {
            strLine += " " + Get(stream, "sample_rate") + " Hz, " + Get(stream, "channels") +
                       " channels" + strDuration;
            const double dBitRate = GetNumber(stream, "bit_rate");
            if (dBitRate > 0) {
                strLine += Printf(", %.0f kbit/s", dBitRate / 1000);
            }
        }
        std::fprintf(pFile, "%-9s %s\n", strType.empty() ? "stream" : strType.c_str(),
                     strLine.c_str());
    }
    // The gaps the file counts: frames dropped (and slots a stalled screen
    // left empty), and sound the devices did not deliver.
    for (const SProbeStream& format : rgStreams) {
        const double nDropped = GetNumber(format, "TAG:deskvid_dropped_frames");
        const double nGapMs = GetNumber(format, "TAG:deskvid_audio_gap_ms");
        if (Get(format, "section") != "format" || (nDropped <= 0 && nGapMs <= 0)) {
            continue;
        }
        std::string strLine = nDropped > 0 ? Printf("%.0f frames dropped", nDropped) : "";
        if (nGapMs > 0) {
            strLine +=
                (strLine.empty() ? "" : ", ") + FormatDuration(nGapMs / 1000) + " of sound missing";
        }
        std::fprintf(pFile, "gaps      %s\n", strLine.c_str());
    }
    if (!facts.strLibrary.empty()) {
        std::fprintf(pFile, "library   %s\n", facts.strLibrary.c_str());
    }
}

}  // namespace record
