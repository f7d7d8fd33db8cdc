// The progress file: emptied at the start of the run, then rewritten with
// each new progress value. The choice of how to write it is made here; the
// file-system calls behind it are the OS layer's (serial/Progresstarget.h).
#pragma once

#include <cstdint>
#include <string>

#include "serial/Progresstarget.h"

// Stores `progress` as the file's one byte. A regular file is replaced
// whole so that a follower never finds it empty; anything else is written
// in place. Failures are ignored and leave no other file behind.
void WriteProgressFile(const std::string& name, std::uint8_t progress);
