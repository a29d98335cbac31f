// What deskvid-record says about a finished recording.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace record {

// What the recorder itself knows.
struct SRecordingFacts {
    std::string strFile;
    std::string strLibrary;       // the plug-in library that recorded it
    double dRecordedSeconds = 0;  // pauses excluded
    double dPausedSeconds = 0;
    int nPauses = 0;
    int nFps = 0;  // frames per second asked for (the plug-in's default when not given)
    uint64_t cbFile = 0;
};

// One stream as ffprobe describes it: its key=value pairs.
using SProbeStream = std::map<std::string, std::string>;

// Splits ffprobe's default output ([STREAM] ... [/STREAM] blocks of key=value
// lines) into streams; a [FORMAT] block becomes an entry with
// "section"="format".
std::vector<SProbeStream> ParseProbeOutput(const std::string& strText);

// Asks ffprobe about the file. False when ffprobe is not there or fails.
bool ProbeFile(const std::string& strFile, std::vector<SProbeStream>* prgStreams);

// "1:02:03.4" / "2:03.4" / "3.4 s".
std::string FormatDuration(double dSeconds);
// "512 B", "12.3 KiB", "4.5 MiB", "1.2 GiB".
std::string FormatSize(uint64_t cb);
// Average bit rate in kbit/s of cb bytes over dSeconds; 0 when no time passed.
double AverageKbps(uint64_t cb, double dSeconds);

// Prints the summary: the facts, and the streams when ffprobe could read them.
void PrintSummary(std::FILE* pFile, const SRecordingFacts& facts,
                  const std::vector<SProbeStream>& rgStreams);

}  // namespace record
