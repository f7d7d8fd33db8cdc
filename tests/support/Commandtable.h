// The protocol's command table, written out once for every test that needs
// it: per command type the reply bytes read, the time-out, how a reply is
// judged and the code of a well-formed reply that fails. Any other type is
// refused with -14.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>

enum class ReplyCheck { Acknowledge, Status, Echo, ModuleType, None };

struct ExpectedCommand {
    std::uint8_t type;
    std::uint8_t replyBytes; // 0: none read; echo rows read the frame's size plus one
    std::uint32_t timeoutMs;
    ReplyCheck check;
    std::int32_t code;
};

inline constexpr ExpectedCommand kExpectedCommands[] = {
    {1, 7, 100, ReplyCheck::Acknowledge, -4}, {3, 6, 100, ReplyCheck::Status, -5},
    {5, 6, 100, ReplyCheck::Status, -6},      {7, 6, 20000, ReplyCheck::Status, -7},
    {9, 0, 4000, ReplyCheck::Echo, -8},       {11, 6, 4000, ReplyCheck::Status, -9},
    {13, 0, 100, ReplyCheck::None, 0},        {14, 6, 4000, ReplyCheck::Status, -11},
    {16, 0, 4000, ReplyCheck::Echo, -12},     {18, 10, 100, ReplyCheck::ModuleType, -13},
    {20, 0, 100, ReplyCheck::None, 0},        {22, 0, 100, ReplyCheck::None, 0},
};

// The row of `type`; nullptr for a type the tool refuses.
inline const ExpectedCommand* ExpectedCommandOf(std::uint8_t type) {
    const auto row = std::find_if(std::begin(kExpectedCommands), std::end(kExpectedCommands),
                                  [type](const ExpectedCommand& r) { return r.type == type; });
    return row == std::end(kExpectedCommands) ? nullptr : row;
}

// Records 20 and 22 stay on the host.
inline bool Sent(const ExpectedCommand& row) {
    return row.type != 20 && row.type != 22;
}

// The reply bytes read for a frame of `frameSize` bytes.
inline std::size_t ReplyBytes(const ExpectedCommand& row, std::size_t frameSize) {
    return row.check == ReplyCheck::Echo ? frameSize + 1 : row.replyBytes;
}
