// zul-station's command line: its own options, and the checks it passes to
// every run unchanged.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ListenAddress.h"

struct StationOptions {
    std::string firmware;            // --if, made absolute: each run works in its own folder
    std::vector<std::string> checks; // "--msv", "167", ...: as given
    bool watch = false;
    std::string results;
    std::string dir = "station";
    unsigned maxParallel = 0;          // 0: every slot at once
    std::optional<ListenAddress> http; // --http: where the dashboard listens
    bool help = false;
    std::string error; // empty when the command line is usable

    static StationOptions Parse(int argc, const char* const* argv);
    static const char* HelpText();
};
