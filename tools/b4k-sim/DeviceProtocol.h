// What the device itself knows of the protocol, written out on its own side
// so that a wrong value in the tool cannot agree with a copy of itself here:
// a frame is "[" type length payload checksum "]", the checksum the low byte
// of the sum of type, length and payload, a reply the command's type plus one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace device {

inline constexpr std::uint8_t kStart = 0x5B;
inline constexpr std::uint8_t kEnd = 0x5D;
inline constexpr std::size_t kOverhead = 5; // start, type, length, checksum, end
inline constexpr std::size_t kType = 1;     // offsets from the start byte
inline constexpr std::size_t kLength = 2;
inline constexpr std::size_t kPayload = 3;

// Command types the device answers, and what each answer carries.
inline constexpr std::uint8_t kConnect = 1;
inline constexpr std::uint8_t kEcho9 = 9;
inline constexpr std::uint8_t kEcho16 = 16;
inline constexpr std::uint8_t kModuleType = 18;
inline constexpr std::array<std::uint8_t, 5> kStatusOnly = {3, 5, 7, 11, 14};

inline constexpr std::array<std::uint8_t, 15> kAccessCode = {
    0x5C, 0x19, 0xE2, 0x07, 0xB4, 0x6A, 0x90, 0x3D, 0xC8, 0x71, 0x0E, 0xA5, 0x2F, 0x68, 0xD3};
inline constexpr std::array<std::uint8_t, 7> kAcknowledge = {0x5B, 0x02, 0x02, 0xAA,
                                                             0x55, 0x03, 0x5D};

// The checksum of a whole frame as it stands (start byte first).
inline std::uint8_t Checksum(const std::vector<std::uint8_t>& frame) {
    unsigned sum = 0;
    for (std::size_t i = kType; i < frame.size() - 2; ++i) {
        sum += frame[i];
    }
    return static_cast<std::uint8_t>(sum);
}

} // namespace device
