// zul-station: programs many B4Ks at once, one Download_ZUL_Console run per
// USB socket, each run pinned to its own device.
#include <cstdio>

#include "ResultsSummary.h"
#include "SlotsFile.h"
#include "Station.h"
#include "StationOptions.h"
#include "ToolProcess.h"

namespace {

constexpr int kUsageError = 2;

int UsageError(const std::string& error) {
    std::fprintf(stderr, "zul-station: %s\nTry 'zul-station --help'.\n", error.c_str());
    return kUsageError;
}

} // namespace

int main(int argc, char** argv) {
    StationOptions options = StationOptions::Parse(argc, argv);
    if (!options.error.empty()) {
        return UsageError(options.error);
    }
    if (options.help) {
        std::fputs(StationOptions::HelpText(), stdout);
        return 0;
    }
    if (!options.summary.empty()) {
        return ResultsSummary(options.summary).Print(stdout, stderr);
    }
    // Read whole before any device is touched.
    SlotsFile slots = options.slots.empty() ? SlotsFile() : SlotsFile(options.slots);
    if (!slots.Error().empty()) {
        return UsageError(slots.Error());
    }
    if (options.list) {
        return Station::List(slots);
    }
    const std::string tool = ToolProcess::Locate();
    if (tool.empty()) {
        std::fprintf(stderr, "zul-station: Download_ZUL_Console is neither beside zul-station nor "
                             "on PATH\n");
        return kUsageError;
    }
    return Station(std::move(options), std::move(slots), tool).Run();
}
