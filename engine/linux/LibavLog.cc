#include "engine/linux/LibavLog.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

extern "C" {
#include <libavutil/log.h>
}

namespace libav {
namespace {

thread_local int t_nEngineDepth = 0;

std::mutex g_mutexError;
std::string g_strError;

std::mutex& ErrorMutex() {
    return g_mutexError;
}
std::string& ErrorText() {
    return g_strError;
}

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
        return;
    }
    if (nLevel > AV_LOG_ERROR) {
        return;
    }
    char szLine[512];
    int nPrintPrefix = 1;
    av_log_format_line2(pAvcl, nLevel, pszFormat, vl, szLine, sizeof(szLine), &nPrintPrefix);
    size_t cch = std::strlen(szLine);
    while (cch > 0 && (szLine[cch - 1] == '\n' || szLine[cch - 1] == '\r')) {
        szLine[--cch] = 0;
    }
    if (cch > 0) {
        SetLastError(szLine);
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

void SetLastError(const std::string& strText) {
    SetLastError(strText.c_str());
}

void SetLastError(const char* pszText) {
    std::lock_guard<std::mutex> lock(ErrorMutex());
    try {
        ErrorText() = pszText;
    } catch (const std::bad_alloc&) {
        ErrorText()
            .clear();  // the text is a courtesy; running out of memory must not end the process
    }
}

std::string LastError() {
    std::lock_guard<std::mutex> lock(ErrorMutex());
    return ErrorText();
}

}  // namespace libav
