#include "engine/linux/LibavLog.h"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace libav {
namespace {

thread_local int t_nEngineDepth = 0;

// FFmpeg may stay loaded after this library is unloaded (a host that uses it
// too): hand its logging back before this library's code goes away.
struct CLogRestore {
    bool bInstalled = false;
    ~CLogRestore() {
        if (bInstalled) {
            av_log_set_callback(av_log_default_callback);
        }
    }
} g_logRestore;

void LogCallback(void* pAvcl, int nLevel, const char* pszFormat, va_list vl) {
    if (t_nEngineDepth == 0) {
        av_log_default_callback(pAvcl, nLevel, pszFormat, vl);
    }
}

}  // namespace

void InstallLogCallback() {
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        av_log_set_callback(LogCallback);
        g_logRestore.bInstalled = true;
    });
}

CEngineThreadScope::CEngineThreadScope() {
    ++t_nEngineDepth;
}

CEngineThreadScope::~CEngineThreadScope() {
    --t_nEngineDepth;
}

}  // namespace libav
