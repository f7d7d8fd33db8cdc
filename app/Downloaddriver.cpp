#include "app/Downloaddriver.h"

#include <cstdio>

std::int32_t RunDownload(std::int32_t count, const char* const* arguments) {
    TCommandLineOptions options;
    ParseCommandLine(count, arguments, options);
    if (options.usageError != 0) {
        std::fputs(UsageMessage().c_str(), stdout);
        return -261;
    }
    if (options.helpRequested != 0) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }
    std::fputs("\r\nDownloading is not available in this build yet\r\n", stderr);
    return -1;
}

void EchoLogFile(const TCommandLineOptions&) {
    std::fputs("\r\n", stdout);
}
