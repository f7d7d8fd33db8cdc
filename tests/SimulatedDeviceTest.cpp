// The simulated device as a pure responder: bytes in, items and replies out.
#include <gtest/gtest.h>

#include <numeric>
#include <string_view>
#include <tuple>

#include "SimulatedDevice.h"
#include "Testframes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

struct Fed {
    std::vector<CapturedItem> items;
    Bytes reply;
};

// Each byte arrives 1 ms after the one before, from `ms` on.
Fed Feed(SimulatedDevice& device, const Bytes& bytes, double ms = 0) {
    Fed fed;
    for (const std::uint8_t byte : bytes) {
        device.Receive(byte, ms++, fed.items, fed.reply);
    }
    return fed;
}

Bytes ReplyTo(const DeviceConfig& config, const Bytes& frame) {
    SimulatedDevice device(config);
    return Feed(device, frame).reply;
}

} // namespace

TEST(SimulatedDeviceReplies, StatusEchoAndModuleTypeRepliesUseEachTypesStatus) {
    DeviceConfig config;
    config.moduleType = 0x12345678;
    Bytes sixteen(16);
    std::iota(sixteen.begin(), sixteen.end(), std::uint8_t{0xF0});
    Bytes echoed{7};
    echoed.insert(echoed.end(), sixteen.begin(), sixteen.end());
    // Type, its status, payload, reply; the statuses accumulate in `config`.
    const std::vector<std::tuple<std::uint8_t, std::uint8_t, Bytes, Bytes>> cases = {
        {3, 1, {0xAA}, {0x5B, 0x04, 0x01, 0x01, 0x06, 0x5D}},
        {5, 0x45, {1, 2, 3}, MakeFrame(6, {0x45})},
        {7, 0x47, {1, 2, 3}, MakeFrame(8, {0x47})},
        {11, 0x4B, {1, 2, 3}, MakeFrame(12, {0x4B})},
        {14, 0x4E, {1, 2, 3}, MakeFrame(15, {0x4E})},
        {9, 0, {}, MakeFrame(0x0A, {0})},
        {9, 0, {0x5D, 0x5B, 1}, MakeFrame(0x0A, {0, 0x5D, 0x5B, 1})},
        {16, 7, sixteen, MakeFrame(0x11, echoed)},
        {18,
         3,
         {0xFF, 0xFF, 0xFF, 0xFF},
         {0x5B, 0x13, 0x05, 0x03, 0x12, 0x34, 0x56, 0x78, 0x2F, 0x5D}},
    };
    for (const auto& [type, status, payload, reply] : cases) {
        config.replyStatus[type] = status;
        EXPECT_EQ(ReplyTo(config, MakeFrame(type, payload)), reply) << "type " << int{type};
    }
}

TEST(SimulatedDeviceReplies, OnlyTheExactConnectFrameIsAcknowledged) {
    const DeviceConfig config;
    EXPECT_EQ(ReplyTo(config, MakeFrame(1, kAccessCode)), kConnectAck);
    for (std::size_t i = 0; i < kAccessCode.size(); ++i) {
        Bytes code = kAccessCode;
        code[i] ^= 0x01;
        EXPECT_TRUE(ReplyTo(config, MakeFrame(1, code)).empty()) << "access code byte " << i;
    }
    Bytes shortCode = kAccessCode;
    shortCode.pop_back();
    EXPECT_TRUE(ReplyTo(config, MakeFrame(1, shortCode)).empty());
    Bytes badSum = MakeFrame(1, kAccessCode);
    badSum[18] ^= 0x80;
    EXPECT_TRUE(ReplyTo(config, badSum).empty());
}

TEST(SimulatedDeviceReplies, OtherTypesAndBrokenFramesGetNoReplyButAreCaptured) {
    SimulatedDevice device{DeviceConfig{}};
    for (const std::uint8_t type : Bytes{0, 2, 4, 13, 19, 20, 22, 255}) {
        const Bytes frame = MakeFrame(type, {1, 2, 3, 4});
        const Fed fed = Feed(device, frame);
        EXPECT_TRUE(fed.reply.empty()) << "type " << int{type};
        ASSERT_EQ(fed.items.size(), 1u);
        EXPECT_EQ(fed.items[0].kind, CaptureKind::Frame);
        EXPECT_EQ(fed.items[0].bytes, frame);
    }
    Bytes badSum = MakeFrame(3, {0});
    badSum[3] = 1;
    Bytes badEnd = MakeFrame(3, {0});
    badEnd.back() = 'X';
    EXPECT_TRUE(Feed(device, badSum).reply.empty());
    EXPECT_TRUE(Feed(device, badEnd).reply.empty());
    // Reading resumes right after a broken frame.
    EXPECT_FALSE(Feed(device, MakeFrame(3, {0})).reply.empty());
    EXPECT_EQ(device.FramesReceived(), 11);
}

// The download tests see its effect on types 9 and 16.
TEST(SimulatedDeviceFaults, WrongEchoChangesTheFirstEchoedByteOfThatTypeOnly) {
    DeviceConfig config;
    config.wrongEchoType = 9;
    const Bytes payload{0x10, 0x20, 0x30};
    EXPECT_EQ(ReplyTo(config, MakeFrame(16, payload)),
              ReplyTo(DeviceConfig{}, MakeFrame(16, payload)));
    config.wrongEchoType = 18;
    const Bytes moduleType = ReplyTo(config, MakeFrame(18, {0, 0, 0, 2}));
    EXPECT_TRUE(IsFrame(moduleType));
    EXPECT_NE(moduleType[4], 0);
    EXPECT_EQ(Bytes(moduleType.begin() + 5, moduleType.begin() + 8), (Bytes{0, 0, 2}));
}

// The simulator holds each reply back by ReplyDelayMs() after its last byte came in.
TEST(SimulatedDeviceFaults, TypeDelayAndGarbageTouchTheirReplyOnly) {
    DeviceConfig config;
    config.replyDelayMs = 10;
    config.typeDelayMs[5] = 70;
    config.garbageAfterReply = 2;
    SimulatedDevice device(config);
    Bytes withGarbage = MakeFrame(6, {0});
    withGarbage.insert(withGarbage.end(), kGarbage.begin(), kGarbage.end());
    const std::vector<std::tuple<Bytes, Bytes, std::uint32_t>> cases = {
        {MakeFrame(3, {}), MakeFrame(4, {0}), 10},
        {MakeFrame(5, {}), withGarbage, 80},
        {MakeFrame(5, {}), MakeFrame(6, {0}), 80},
        {Text("Hq3vT8mWe"), {0x06}, 10},
    };
    for (const auto& [input, reply, delayMs] : cases) {
        EXPECT_EQ(Feed(device, input).reply, reply);
        EXPECT_EQ(device.ReplyDelayMs(), delayMs);
    }
}

TEST(SimulatedDeviceFraming, FramesAreReadByTheirLengthByteAlone) {
    SimulatedDevice device{DeviceConfig{}};
    const Bytes brackets{0x5B, 0x03, 0x02, 0x5D, 0x5B, 0xBD, 0x5D};
    Fed fed = Feed(device, brackets);
    ASSERT_EQ(fed.items.size(), 1u);
    EXPECT_EQ(fed.items[0].bytes, brackets);
    EXPECT_TRUE(IsFrame(fed.reply));

    // A length of "[" and a wake-up string inside the payload.
    Bytes payload = Text("Hq3vT8mWe");
    payload.resize(0x5B, 0x5D);
    fed = Feed(device, MakeFrame(9, payload));
    ASSERT_EQ(fed.items.size(), 1u);
    EXPECT_EQ(fed.items[0].kind, CaptureKind::Frame);
    EXPECT_EQ(fed.reply.size(), 0x5Bu + 6);
}

TEST(SimulatedDeviceFraming, WakeUpIsRecognisedAmongStrayBytes) {
    SimulatedDevice device{DeviceConfig{}};
    Bytes input = Text("abHHq3vT8mWecd");
    const Bytes frame = MakeFrame(5, {});
    input.insert(input.end(), frame.begin(), frame.end());
    const Bytes tail = Text("Hq3v");
    input.insert(input.end(), tail.begin(), tail.end());
    Fed fed = Feed(device, input, 10);
    ASSERT_EQ(fed.items.size(), 4u);
    EXPECT_EQ(fed.items[0].kind, CaptureKind::Stray);
    EXPECT_EQ(fed.items[0].bytes, Text("abH"));
    EXPECT_EQ(fed.items[0].ms, 12);
    EXPECT_EQ(fed.items[1].kind, CaptureKind::WakeUp);
    EXPECT_EQ(fed.items[1].bytes, Text("Hq3vT8mWe"));
    EXPECT_EQ(fed.items[1].ms, 21);
    EXPECT_EQ(fed.items[2].bytes, Text("cd"));
    EXPECT_EQ(fed.items[2].ms, 23);
    EXPECT_EQ(fed.items[3].bytes, frame);
    EXPECT_EQ(fed.reply[0], 0x06);
    EXPECT_EQ(fed.reply.size(), 1 + 6u);

    // An unfinished wake-up stays pending until the line goes quiet.
    EXPECT_TRUE(device.StrayPending());
    device.FlushStray(fed.items);
    ASSERT_EQ(fed.items.size(), 5u);
    EXPECT_EQ(fed.items[4].kind, CaptureKind::Stray);
    EXPECT_EQ(fed.items[4].bytes, tail);
    EXPECT_FALSE(device.StrayPending());
}
