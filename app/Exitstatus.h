// The process exit status for a run's result. One implementation per OS
// (Exitstatus_posix.cpp, Exitstatus_win32.cpp), picked by CMake.
#pragma once

#include <cstdint>

// Exit status when a numeric option or port name is not an integer.
inline constexpr int kConversionErrorExitStatus = 2;

// The status the OS is handed for `runResult`. A Windows exit code holds the
// whole 32-bit result; a POSIX status holds 8 bits, so there the negative
// results are given distinct values, none of them 0 (success) or 2
// (conversion error).
int ProcessExitStatus(std::int32_t runResult);
