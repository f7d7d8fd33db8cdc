// Where the progress file's bytes go, and the file-system calls that put
// them there: one implementation per OS (Progresstarget_posix.cpp,
// Progresstarget_win32.cpp), picked by CMake.
#pragma once

#include <cstdint>
#include <string>

// Creates or empties the file named `name` without waiting for anything
// (a FIFO with no reader is not waited for). True when later values may
// reach it.
bool CreateProgressFile(const std::string& name);

// Where a progress name leads: the file the byte must reach, and whether
// it may be replaced by a new file of the same owner and mode.
struct ProgressTarget {
    std::string path;
    bool replaceable = false;
};

ProgressTarget FindProgressTarget(const std::string& name);
// Writes the byte to a new neighbour of `target` and puts it in its place;
// false, with nothing left beside it, when that cannot be done.
bool ReplaceProgressFile(const ProgressTarget& target, std::uint8_t progress);
// Truncates `path` and writes the byte; a file that cannot take it now is skipped.
void WriteProgressInPlace(const std::string& path, std::uint8_t progress);
