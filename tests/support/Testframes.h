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
