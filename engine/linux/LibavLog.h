// The engine's FFmpeg is a private static copy (engine/linux/codec/), so its
// log callback is the engine's alone: a host's own FFmpeg never sees it. The
// engine installs one callback that keeps the messages of its own work (they
// become the last-error text) and hands every other message to FFmpeg's
// default callback.
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

// Records a failure of the engine's own in the last-error text.
void SetLastError(const std::string& strText);
void SetLastError(const char* pszText);

// The last error the engine met (its own or one of FFmpeg's messages from its
// work); empty when there was none.
std::string LastError();

}  // namespace libav
