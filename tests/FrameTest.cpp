// Frame checksum and the acceptance rule for device replies.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "firmware/Frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct ChecksumCase {
    Bytes fromType; // type, length, payload
    std::uint8_t expected;
};

TEST(FrameChecksum, WorkedExamplesWrapModulo256) {
    const std::vector<ChecksumCase> cases = {
        {{0x12, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}, 0x12}, // 0x412
        {{0x02, 0x02, 0xAA, 0x55}, 0x03},             // 0x103
        {{0x0D, 0x00}, 0x0D},                         // empty payload: the type itself
        {{0x03, 0x02, 0x5D, 0x5B}, 0xBD},             // frame bytes inside the payload
        {{0x12, 0x04, 0x00, 0x00, 0x00, 0x02}, 0x18},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FrameChecksum(c.fromType.data()), c.expected) << "type " << int{c.fromType[0]};
    }
}

TEST(FrameChecksum, CountsExactlyTheLengthPayloadBytes) {
    // Length 255: the last payload byte counts, the byte after it does not.
    Bytes frame(2 + 255 + 1, 0);
    frame[0] = 0x07;
    frame[1] = 0xFF;
    frame[2 + 254] = 0x40;
    frame[2 + 255] = 0x80;
    EXPECT_EQ(FrameChecksum(frame.data()), static_cast<std::uint8_t>(0x07 + 0xFF + 0x40));

    // Length 0 reads nothing past the length byte.
    const Bytes empty = {0x21, 0x00, 0x99};
    EXPECT_EQ(FrameChecksum(empty.data()), 0x21);
}

bool WellFormed(const Bytes& reply) {
    return ReplyIsWellFormed(reply.data(), reply.size());
}

TEST(FrameReply, AcceptsWellFormedReplies) {
    EXPECT_TRUE(WellFormed({0x5B, 0x02, 0x02, 0xAA, 0x55, 0x03, 0x5D}));
    EXPECT_TRUE(WellFormed({0x5B, 0x0D, 0x00, 0x0D, 0x5D}));
    // Positions follow from n: a shorter length byte leaves unchecked filler.
    EXPECT_TRUE(WellFormed({0x5B, 0x04, 0x01, 0x01, 0xEE, 0x06, 0x5D}));
    EXPECT_TRUE(ReplyIsWellFormed(nullptr, 0));
}

TEST(FrameReply, EachConditionFailingAloneRefuses) {
    const Bytes good = {0x5B, 0x13, 0x05, 0x00, 0x00, 0x00, 0x00, 0x02, 0x1A, 0x5D};
    ASSERT_TRUE(WellFormed(good));

    struct Mutation {
        const char* what;
        std::size_t index;
        std::uint8_t value;
    };
    const std::vector<Mutation> mutations = {
        {"start byte", 0, 0x5C},   {"end byte", 9, 0x5B},  {"checksum byte", 8, 0x1B},
        {"payload byte", 5, 0x01}, {"type byte", 1, 0x12},
    };
    for (const auto& m : mutations) {
        Bytes reply = good;
        reply[m.index] = m.value;
        EXPECT_FALSE(WellFormed(reply)) << m.what;
    }
}

TEST(FrameReply, LengthBeyondTheReplyRefusedEvenWhenTheSumFits) {
    // Length 3 in a 7-byte reply would take the checksum byte as payload;
    // 02 + 03 + FB + 00 wraps to 0, so the sum matches whatever byte 5 holds.
    const Bytes reply = {0x5B, 0x02, 0x03, 0xFB, 0x00, 0x42, 0x5D};
    ASSERT_EQ(FrameChecksum(reply.data() + 1), reply[5]);
    EXPECT_FALSE(WellFormed(reply));
}

} // namespace
