// The process exit status for a run's result.
#pragma once

#include <cstdint>

// Exit status when a numeric option or port name is not an integer.
inline constexpr int kConversionErrorExitStatus = 2;

// A POSIX status holds 8 bits: the run's negative results are given distinct
// values there, none of them 0 (success) or 2 (conversion error).
int PosixExitStatus(std::int32_t runResult);
