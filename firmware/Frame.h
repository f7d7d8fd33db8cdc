// The one frame layout shared by firmware files, commands and replies:
// "[" type length payload[length] checksum "]".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::uint8_t kFrameStart = 0x5B; // "["
inline constexpr std::uint8_t kFrameEnd = 0x5D;   // "]"

// Start, type, length, checksum and end: a frame is its payload plus this.
inline constexpr std::size_t kFrameOverhead = 5;
inline constexpr std::size_t kMaxPayload = 255;
inline constexpr std::size_t kMaxFrameSize = kMaxPayload + kFrameOverhead;

// Offsets from the start byte.
inline constexpr std::size_t kTypeOffset = 1;
inline constexpr std::size_t kLengthOffset = 2;
inline constexpr std::size_t kPayloadOffset = 3;

// Frame types the system knows. A reply has its command's type plus one.
enum FrameType : std::uint8_t {
    kTypeConnect = 1,
    kTypeConnectReply = 2,
    kTypeCommand3 = 3,
    kTypeCommand5 = 5,
    kTypeCommand7 = 7,
    kTypeEchoCommand9 = 9,
    kTypeCommand11 = 11,
    kTypeNoReply13 = 13,
    kTypeCommand14 = 14,
    kTypeEchoCommand16 = 16,
    kTypeModuleType = 18,
    kTypeModuleTypeReply = 19,
    kTypeSoftwareRevision = 20,
    kTypeBuildTime = 22,
};

// Identification records carry 4 payload bytes; any beyond count for nothing.
inline constexpr std::size_t kIdentificationPayload = 4;

inline constexpr std::array<std::uint8_t, 15> kConnectAccessCode = {
    0x5C, 0x19, 0xE2, 0x07, 0xB4, 0x6A, 0x90, 0x3D, 0xC8, 0x71, 0x0E, 0xA5, 0x2F, 0x68, 0xD3};
inline constexpr std::size_t kConnectFrameSize = kConnectAccessCode.size() + kFrameOverhead;

// The only reply that acknowledges the connect frame.
inline constexpr std::array<std::uint8_t, 7> kConnectAcknowledge = {0x5B, 0x02, 0x02, 0xAA,
                                                                    0x55, 0x03, 0x5D};

// The 8-bit sum of type, length and the length payload bytes that follow.
// `fromType` points at the type byte; it must be followed by at least
// fromType[1] payload bytes.
std::uint8_t FrameChecksum(const std::uint8_t* fromType);

// A reply of the expected size n is well formed when it starts with "[",
// ends with "]" at n-1, its own length byte names no more than n-5 payload
// bytes, and byte n-2 is the checksum over that payload. n == 0 accepts.
bool ReplyIsWellFormed(const std::uint8_t* reply, std::size_t n);

// Big-endian readers for payload numbers.
inline std::uint32_t ReadBigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
inline std::uint16_t ReadBigEndian16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
