// deskvid-record: records the screen and the default audio input through the
// deskvid plug-in library, loaded and driven exactly as a host application
// does. Run with --help for the options.
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "port/Utf.h"
#endif

#include "Options.h"
#include "Recorder.h"

int main(int argc, char** argv) {
#ifdef _WIN32
    // The options as typed, in UTF-8 (argv holds them in the ANSI code page,
    // which cannot spell every file name).
    std::vector<std::string> rgstrArgs;
    std::vector<char*> rgpszArgs;
    int nArgs = 0;
    if (wchar_t** ppwsz = CommandLineToArgvW(GetCommandLineW(), &nArgs)) {
        for (int i = 0; i < nArgs; ++i) {
            rgstrArgs.push_back(port::Utf16ToUtf8(reinterpret_cast<const char16_t*>(ppwsz[i])));
        }
        LocalFree(ppwsz);
        for (std::string& str : rgstrArgs) {
            rgpszArgs.push_back(&str[0]);
        }
        rgpszArgs.push_back(nullptr);
        argc = nArgs;
        argv = rgpszArgs.data();
    }
#endif
    record::COptions options;
    std::string strError;
    switch (record::ParseOptions(argc, argv, &options, &strError)) {
        case record::ParseResult::kHelp:
            std::fputs(record::UsageText(), stdout);
            return 0;
        case record::ParseResult::kError:
            std::fprintf(stderr, "deskvid-record: %s\nTry 'deskvid-record --help'.\n",
                         strError.c_str());
            return 2;
        case record::ParseResult::kRun:
            break;
    }
    return record::Record(options);
}
