// A serial port that only records: every call the port class makes to the
// OS layer, in order, with the replies a test scripts for it. Linked in
// place of the OS layer, so that exchanges are pinned call by call.
#pragma once

#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

namespace recording {

struct Call {
    std::string what; // "timeouts", "write", "read" or "purge"
    std::uint32_t ms = 0;
    std::vector<std::uint8_t> bytes; // written, or the count asked for as its size
    bool operator==(const Call&) const = default;
};
void PrintTo(const Call& call, std::ostream* out);

extern std::vector<Call> calls;
// Each read takes the next reply whole or in part; an empty reply is silence
// for the read's time-out, none left is silence at once.
extern std::deque<std::vector<std::uint8_t>> replies;

} // namespace recording
