// One download run, from the argument vector to the run's result.
#pragma once

#include <cstdint>

#include "app/Commandlineoptions.h"

// The whole run; its result is the tool's exit status before the process
// boundary maps it. Throws EConvertError on a non-integer numeric value.
std::int32_t RunDownload(std::int32_t count, const char* const* arguments);

// Prints the log file when verbose, then "\r\n" in any case.
void EchoLogFile(const TCommandLineOptions& options);
