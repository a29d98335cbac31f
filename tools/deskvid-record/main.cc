// deskvid-record: records the screen and the default audio input through the
// deskvid plug-in library, loaded and driven exactly as a host application
// does. Run with --help for the options.
#include <cstdio>
#include <string>

#include "Options.h"
#include "Recorder.h"

int main(int argc, char** argv) {
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
