// The command line: options found by loose prefix matching, first match wins,
// an option's value is simply the next argument.
#pragma once

#include <cstdint>
#include <string>

struct TCommandLineOptions {
    std::int32_t usageError = 0;
    std::int32_t helpRequested = 0;
    std::int32_t verbose = 0;
    std::int32_t mainRevisionGiven = 0;
    std::int32_t subRevisionGiven = 0;
    std::int32_t moduleTypeGiven = 0;
    std::int32_t buildTimeGiven = 0;
    std::string inputFile;
    std::string logFile = "Log.txt";
    std::string progressFile;
    std::string moduleInfoFile;
    std::uint16_t mainRevision = 0;
    std::uint16_t subRevision = 0;
    std::uint32_t moduleType = 0;
    std::uint32_t buildTime = 0;
    std::uint8_t comPort = 0; // 0: no port besides the discovered one
};

// Index of the first argument that begins with `option`, or -1.
std::int32_t FindOption(std::int32_t count, const char* const* arguments, const char* option);

// Fills `options` from the argument vector. Throws EConvertError when the
// value of "--msv", "--ssv" or "--com" is not an integer.
void ParseCommandLine(std::int32_t count, const char* const* arguments,
                      TCommandLineOptions& options);

// The texts printed for a usage error and for a help request.
const std::string& UsageMessage();
const std::string& HelpText();
