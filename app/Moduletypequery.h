// Asking the device for its module type: a one-frame firmware file whose
// module type record the device answers with its own type.
#pragma once

#include <cstdint>

// Written anew in the current directory by every query, and left there.
inline constexpr const char* kQueryFileName = "AskModuleType.ctf";

// Runs a download of "AskModuleType.ctf" over the detected port. 1 with
// `moduleType` set from the device's reply; -1 with it unchanged.
std::int32_t QueryModuleType(std::uint32_t& moduleType);
