// The progress file: emptied at the start of the run, then rewritten with
// each new progress value. The logic that picks how to write it is shared;
// the file-system calls behind it have one implementation per OS
// (Progressfile_posix.cpp, Progressfile_win32.cpp), picked by CMake.
#pragma once

#include <cstdint>
#include <string>

// Creates or empties the file named `name` without waiting for anything
// (a FIFO with no reader is not waited for). True when later values may
// reach it.
bool CreateProgressFile(const std::string& name);

// Stores `progress` as the file's one byte. A regular file is replaced
// whole so that a follower never finds it empty; anything else is written
// in place. Failures are ignored and leave no other file behind.
void WriteProgressFile(const std::string& name, std::uint8_t progress);

// Where a progress name leads: the file the byte must reach, and whether
// it may be replaced by a new file of the same owner and mode.
struct ProgressTarget {
    std::string path;
    bool replaceable = false;
};

// The OS's part, one implementation per OS.
ProgressTarget FindProgressTarget(const std::string& name);
// Writes the byte to a new neighbour of `target` and puts it in its place;
// false, with nothing left beside it, when that cannot be done.
bool ReplaceProgressFile(const ProgressTarget& target, std::uint8_t progress);
// Truncates `path` and writes the byte; a file that cannot take it now is skipped.
void WriteProgressInPlace(const std::string& path, std::uint8_t progress);
