#include "firmware/Frame.h"

std::uint8_t FrameChecksum(const std::uint8_t* fromType) {
    const std::uint8_t length = fromType[1];
    std::uint8_t sum = static_cast<std::uint8_t>(fromType[0] + length);
    const std::uint8_t* payload = fromType + 2;
    for (std::size_t i = 0; i < length; ++i) {
        sum = static_cast<std::uint8_t>(sum + payload[i]);
    }
    return sum;
}

bool ReplyIsWellFormed(const std::uint8_t* reply, std::size_t n) {
    if (n == 0) {
        return true;
    }
    if (n < kFrameOverhead || reply[0] != kFrameStart || reply[n - 1] != kFrameEnd) {
        return false;
    }
    if (reply[kLengthOffset] > n - kFrameOverhead) {
        return false;
    }
    return reply[n - 2] == FrameChecksum(reply + kTypeOffset);
}
