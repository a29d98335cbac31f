// The engine's FFmpeg is a private static copy (engine/linux/codec/), so its
// log callback is the engine's alone: a host's own FFmpeg never sees it. The
// engine installs one callback that drops the messages of its own work (a
// failure reaches the host as a status) and hands every other message to
// FFmpeg's default callback.
#pragma once

#include <string>

namespace libav {

// Installs the callback once per process; later calls do nothing.
void InstallLogCallback();

// Marks the calling thread as doing the engine's work for as long as it
// lives: FFmpeg messages logged on it are the engine's own.
class CEngineThreadScope {
public:
    CEngineThreadScope();
    ~CEngineThreadScope();
    CEngineThreadScope(const CEngineThreadScope&) = delete;
    CEngineThreadScope& operator=(const CEngineThreadScope&) = delete;
};

// Names a failure of the engine's own where the session meets it. Nothing
// keeps the text: the host learns of the failure through the status it gets.
inline void SetLastError(const std::string&) {}

}  // namespace libav
