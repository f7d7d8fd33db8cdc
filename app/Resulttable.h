// Every result a run of the tool can end with: the POSIX exit status that
// stands for it (a status holds 8 bits, so each result gets one of its own,
// none of them 0 for anything but the help text, nor 2, the conversion
// error's) and what it means. The tool's exit status, the station's outcome
// texts and the documents' tables all come from here.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace resulttable {

struct Entry {
    std::int32_t result;
    int posixStatus;
    std::string_view meaning;
};

inline constexpr std::array<Entry, 19> kEntries = {{
    {1, 1, "download successful"},
    {0, 0, "help text printed"},
    {-1, 255, "a frame failed in transfer in all three attempts"},
    {-2, 254, "no port could be opened and written within the detection time"},
    {-3, 253, "the firmware file is invalid or cannot be read"},
    {-4, 252, "the device did not acknowledge the connect frame"},
    {-5, 251, "a reply to a command of type 3 failed its check"},
    {-6, 250, "a reply to a command of type 5 failed its check"},
    {-7, 249, "a reply to a command of type 7 failed its check"},
    {-8, 248, "a reply to a command of type 9 failed its check"},
    {-9, 247, "a reply to a command of type 11 failed its check"},
    {-11, 245, "a reply to a command of type 14 failed its check"},
    {-12, 244, "a reply to a command of type 16 failed its check"},
    {-13, 243, "a reply to a command of type 18 failed its check"},
    {-14, 242, "the file holds a frame of a type the protocol does not know"},
    {-256, 240, "main revision, module type or build time differs from the expected value"},
    {-257, 239, "sub revision differs from the expected value"},
    {-260, 236, "the log file cannot be created"},
    {-261, 235, "usage error"},
}};

// The status for a result no run produces: still a failure.
inline constexpr int kUnknownResultStatus = 255;

// The entry of `result`, or nullptr.
const Entry* ByResult(std::int32_t result);
// The entry whose POSIX status is `status`, or nullptr.
const Entry* ByPosixStatus(int status);

} // namespace resulttable
