// zul-station: programs many B4Ks at once, one Download_ZUL_Console run per
// USB socket, each run pinned to its own device.
#include <cstdio>

#include "Station.h"
#include "StationOptions.h"
#include "ToolProcess.h"

namespace {

constexpr int kUsageError = 2;

} // namespace

int main(int argc, char** argv) {
    StationOptions options = StationOptions::Parse(argc, argv);
    if (!options.error.empty()) {
        std::fprintf(stderr, "zul-station: %s\nTry 'zul-station --help'.\n", options.error.c_str());
        return kUsageError;
    }
    if (options.help) {
        std::fputs(StationOptions::HelpText(), stdout);
        return 0;
    }
    const std::string tool = ToolProcess::Locate();
    if (tool.empty()) {
        std::fprintf(stderr, "zul-station: Download_ZUL_Console is neither beside zul-station nor "
                             "on PATH\n");
        return kUsageError;
    }
    return Station(std::move(options), tool).Run();
}
