#include "engine/libav/LibavLog.h"

#include <cstdio>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace libav {
namespace {

thread_local int t_nEngineDepth = 0;

std::mutex& ErrorMutex() {
    static std::mutex* s_pMutex = new std::mutex;  // outlives every thread's last message
    return *s_pMutex;
}

std::string& ErrorText() {
    static std::string* s_pText = new std::string;
    return *s_pText;
}

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
    std::string strLine(szLine);
    while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == '\r')) {
        strLine.pop_back();
    }
    if (!strLine.empty()) {
        SetLastError(strLine);
    }
}

}  // namespace

void InstallLogCallback() {
    static std::once_flag s_once;
    std::call_once(s_once, [] { av_log_set_callback(LogCallback); });
}

CEngineThreadScope::CEngineThreadScope() {
    ++t_nEngineDepth;
}

CEngineThreadScope::~CEngineThreadScope() {
    --t_nEngineDepth;
}

void SetLastError(const std::string& strText) {
    std::lock_guard<std::mutex> lock(ErrorMutex());
    ErrorText() = strText;
}

std::string LastError() {
    std::lock_guard<std::mutex> lock(ErrorMutex());
    return ErrorText();
}

}  // namespace libav
