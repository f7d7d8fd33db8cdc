// Frames built for tests with a checksum summed here, independently of the
// code under test.
#pragma once

#include <cstdint>
#include <numeric>
#include <vector>

inline std::vector<std::uint8_t> MakeFrame(std::uint8_t type,
                                           const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame;
    frame.reserve(payload.size() + 5);
    frame.push_back(0x5B);
    frame.push_back(type);
    frame.push_back(static_cast<std::uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(static_cast<std::uint8_t>(std::accumulate(frame.begin() + 1, frame.end(), 0)));
    frame.push_back(0x5D);
    return frame;
}

// The connect frame's access code and the one reply that acknowledges it.
inline const std::vector<std::uint8_t> kAccessCode = {
    0x5C, 0x19, 0xE2, 0x07, 0xB4, 0x6A, 0x90, 0x3D, 0xC8, 0x71, 0x0E, 0xA5, 0x2F, 0x68, 0xD3};
inline const std::vector<std::uint8_t> kConnectFrame = MakeFrame(1, kAccessCode);
inline const std::vector<std::uint8_t> kConnectAck = {0x5B, 0x02, 0x02, 0xAA, 0x55, 0x03, 0x5D};
