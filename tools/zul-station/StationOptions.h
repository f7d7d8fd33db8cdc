// zul-station's command line: its own options, and the checks it passes to
// every run unchanged.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ListenAddress.h"

struct StationOptions {
    std::string firmware;            // --if, made absolute: each run works in its own folder
    std::vector<std::string> checks; // "--msv", "167", ...: as given
    bool watch = false;
    std::string results;
    std::string dir = "station";
    unsigned maxParallel = 0; // 0: every slot at once
    std::string sha256;       // --sha256: the firmware file's digest, 64 hex digits; empty: any
    std::string slots;        // --slots: the file as given, empty without
    unsigned retries = 0;     // more attempts of a failed run on the same device
    std::vector<std::pair<std::string, std::string>> tags; // --tag, in the order given
    bool list = false;
    std::vector<std::string> summary;  // --summary's results files
    std::optional<ListenAddress> http; // --http: where the dashboard listens
    bool help = false;
    std::string error; // empty when the command line is usable

    static StationOptions Parse(int argc, char* const* argv);
    static const char* HelpText();
};
