// The built tool against a simulated device for every fault the simulator
// can inject, alone and combined; one CTest case per row, so that the rows
// that wait out time-outs run in parallel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <vector>

#include "Toolbench.h"

namespace {

using Bytes = ToolBench::Bytes;

// The records, then one frame of each command type the tool sends, the one of
// type `last` moved to the end (or added there, when the file has none), so
// that the stale reply of a late answer meets no later exchange. Unmoved, the
// device sees them as its frames 6 to 14 and answers with its replies 6 to
// 13 (13 has none). Before them: the module type query, connect (frame and
// reply 1) and three records (2 to 4), then the download's connect (5).
std::vector<Bytes> Firmware(std::uint8_t last) {
    // clang-format off
    std::vector<Bytes> file = {kModuleRecord, kRevisionRecord, kBuildTimeRecord,
        MakeFrame(3, {0x01}), MakeFrame(5, {0x10, 0x20}), MakeFrame(7, {0x07}),
        MakeFrame(9, Bytes(16, 0x99)), MakeFrame(11, {}), MakeFrame(13, {0x42}),
        MakeFrame(14, {0x01, 0x01}), MakeFrame(16, Bytes(40, 0x16))};
    // clang-format on
    std::stable_partition(file.begin(), file.end(),
                          [last](const Bytes& f) { return f[1] != last; });
    if (file.back()[1] != last) {
        file.push_back(MakeFrame(last, {}));
    }
    return file;
}
constexpr std::size_t kAll = 11;

struct Row {
    const char* name;
    void (*configure)(DeviceConfig&);
    FaultRun run;           // without device and file
    std::uint8_t last = 16; // the type of Firmware()'s last frame
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

// clang-format off
const Row kRows[] = {
    {"NoFault", [](DeviceConfig&) {}, {1}},
    // The wake-up goes unanswered too; both connect windows run out.
    {"SilentDevice", [](DeviceConfig& c) { c.silent = true; }, {-4, 0, 0, 2}},
    {"ConnectAcknowledgedLateWithinTheWindow", [](DeviceConfig& c) { c.ignoreConnects = 20; },
     {1, kAll, kModuleType, 0, std::vector<std::uint8_t>(20, 1)}},
    {"ConnectNeverAcknowledged", [](DeviceConfig& c) { c.ignoreConnects = 1 << 20; },
     {-4, 0, 0, 2}},

    {"OneCorruptedConnectAcknowledge", [](DeviceConfig& c) { c.corruptReplyNumber = 5; },
     {1, kAll, kModuleType, 0, {1}}},
    {"OneCorruptedReply", [](DeviceConfig& c) { c.corruptReplyNumber = 7; },
     {1, kAll, kModuleType, 0, {3}}},
    // The query's last attempt is malformed: it fails, and its type is not taken.
    {"LastQueryReplyCorrupted", [](DeviceConfig& c) { c.corruptReplyNumber = 4; },
     {1, kAll, 0, 0, {18}}},
    // Nothing past the connect is ever reached.
    {"EveryReplyCorrupted", [](DeviceConfig& c) { c.corruptType = 1; }, {-4, 0, 0, 2}},
    {"EveryReplyToType3Corrupted", [](DeviceConfig& c) { c.corruptType = 3; },
     {-1, 3, kModuleType, 0, {3, 3, 3}}},
    {"EveryReplyToType16Corrupted", [](DeviceConfig& c) { c.corruptType = 16; },
     {-1, 10, kModuleType, 0, {16, 16, 16}}},

    {"WrongEchoType9", [](DeviceConfig& c) { c.wrongEchoType = 9; }, {-8, 6}},
    {"WrongEchoType16", [](DeviceConfig& c) { c.wrongEchoType = 16; }, {-12, 10}},
    // The changed byte is the device's module type's first: the query takes it so.
    {"WrongEchoType18", [](DeviceConfig& c) { c.wrongEchoType = 18; }, {-13, 0, 0xFFC0FFEE}},

    {"StatusOneOnType3IsGood", [](DeviceConfig& c) { c.replyStatus[3] = 1; }, {1}},
    {"WrongStatusType3", [](DeviceConfig& c) { c.replyStatus[3] = 2; }, {-5, 3}},
    {"WrongStatusType5", [](DeviceConfig& c) { c.replyStatus[5] = 1; }, {-6, 4}},
    {"WrongStatusType7", [](DeviceConfig& c) { c.replyStatus[7] = 1; }, {-7, 5}},
    {"WrongStatusType9", [](DeviceConfig& c) { c.replyStatus[9] = 1; }, {-8, 6}},
    {"WrongStatusType11", [](DeviceConfig& c) { c.replyStatus[11] = 0x80; }, {-9, 7}},
    {"WrongStatusType14", [](DeviceConfig& c) { c.replyStatus[14] = 1; }, {-11, 9}},
    {"WrongStatusType16", [](DeviceConfig& c) { c.replyStatus[16] = 0xFF; }, {-12, 10}},
    // The query takes the type whatever the status; the file's record then fails.
    {"WrongStatusType18", [](DeviceConfig& c) { c.replyStatus[18] = 1; }, {-13, 0}},

    // A late reply is met by the next attempt, which takes it as its own.
    {"Type5DelayedJustUnderItsTimeOut", [](DeviceConfig& c) { c.typeDelayMs[5] = 50; },
     {1, kAll, kModuleType, 0, {}, 50}, 5},
    {"Type5DelayedJustOverItsTimeOut", [](DeviceConfig& c) { c.typeDelayMs[5] = 150; },
     {1, kAll, kModuleType, 0, {5}, 150}, 5},
    {"Type5DelayedPastAllThreeAttempts", [](DeviceConfig& c) { c.typeDelayMs[5] = 500; },
     {-1, 10, kModuleType, 0, {5, 5, 5}, 0}, 5},
    {"Type14DelayedJustUnderItsTimeOut", [](DeviceConfig& c) { c.typeDelayMs[14] = 3000; },
     {1, kAll, kModuleType, 0, {}, 3000}, 14},
    {"Type14DelayedJustOverItsTimeOut", [](DeviceConfig& c) { c.typeDelayMs[14] = 5000; },
     {1, kAll, kModuleType, 0, {14}, 5000}, 14},

    {"HangUpAtTheFirstFrame", [](DeviceConfig& c) { c.hangupAfterFrames = 6; }, {-1, 0}},
    {"HangUpAtAMiddleFrame", [](DeviceConfig& c) { c.hangupAfterFrames = 10; }, {-1, 6}},
    {"HangUpAtTheLastFrame", [](DeviceConfig& c) { c.hangupAfterFrames = 14; }, {-1, 10}},

    // Stray bytes are read as the start of the next reply, which is then malformed.
    {"GarbageBetweenQueryAndDownload", [](DeviceConfig& c) { c.garbageAfterReply = 4; },
     {1, kAll, kModuleType, 0, {1}}},
    {"GarbageBetweenReplies", [](DeviceConfig& c) { c.garbageAfterReply = 7; },
     {1, kAll, kModuleType, 0, {5}}},
    {"GarbageAfterTheLastReply", [](DeviceConfig& c) { c.garbageAfterReply = 13; }, {1}},

    // Five ignored connects are no replies: the corrupted one is type 3's first,
    // the garbage follows its second.
    {"LateConnectCorruptedReplyAndGarbage",
     [](DeviceConfig& c) { c.ignoreConnects = 5; c.corruptReplyNumber = 7;
                           c.garbageAfterReply = 8; },
     {1, kAll, kModuleType, 0, {1, 1, 1, 1, 1, 3, 5}}},
    {"CorruptedReplyThenWrongStatus",
     [](DeviceConfig& c) { c.corruptReplyNumber = 6; c.replyStatus[11] = 1; },
     {-9, 7, kModuleType, 0, {18}}},
    // The garbage costs type 5 a second attempt, one more frame before the hang-up.
    {"GarbageThenHangUp",
     [](DeviceConfig& c) { c.garbageAfterReply = 7; c.hangupAfterFrames = 11; },
     {-1, 6, kModuleType, 0, {5}}},
    {"SlowReplyThenWrongEcho",
     [](DeviceConfig& c) { c.typeDelayMs[9] = 1000; c.wrongEchoType = 16; },
     {-12, 10, kModuleType, 0, {}, 1000}},
    {"LateConnectThenWrongStatus",
     [](DeviceConfig& c) { c.ignoreConnects = 7; c.replyStatus[7] = 1; },
     {-7, 5, kModuleType, 0, {1, 1, 1, 1, 1, 1, 1}}},
    // A frame of a type the tool does not know ends the download before it leaves.
    {"UnknownFrameType", [](DeviceConfig&) {}, {-14, kAll, kModuleType, 0, {}, 0}, 30},
};
// clang-format on

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, RunEndsWithTheStatusItsFaultImplies) {
    FaultRun run = GetParam().run;
    run.file = Firmware(GetParam().last);
    GetParam().configure(run.device);
    ExpectFaultRun(run, true);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& row) { return row.param.name; });

} // namespace
