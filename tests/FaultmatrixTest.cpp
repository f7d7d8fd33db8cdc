// The built tool against a simulated device for every fault the simulator
// can inject, alone and combined; one CTest case per row, so that the rows
// that wait out time-outs run in parallel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <vector>

#include "Faultrun.h"

namespace {

using Bytes = ToolBench::Bytes;

// The records, then one frame of each command type the tool sends; the
// device sees them as its frames 6 to 14 and answers with its replies 6 to
// 13 (13 has none). Before them: the module type query, connect (frame and
// reply 1) and three records (2 to 4), then the download's connect (5).
std::vector<Bytes> Firmware() {
    // clang-format off
    return {kModuleRecord, kRevisionRecord, kBuildTimeRecord, MakeFrame(3, {0x01}),
            MakeFrame(5, {0x10, 0x20}), MakeFrame(7, {0x07}), MakeFrame(9, Bytes(16, 0x99)),
            MakeFrame(11, {}), MakeFrame(13, {0x42}), MakeFrame(14, {0x01, 0x01}),
            MakeFrame(16, Bytes(40, 0x16))};
    // clang-format on
}
constexpr std::size_t kAll = 11;

// Firmware() with its frame of `type` moved to the end: the stale reply of
// a late answer then meets no later exchange.
std::vector<Bytes> WithLast(std::uint8_t type) {
    std::vector<Bytes> file = Firmware();
    const auto frame =
        std::find_if(file.begin(), file.end(), [type](const Bytes& f) { return f[1] == type; });
    std::rotate(frame, frame + 1, file.end());
    return file;
}
std::vector<Bytes> Type5Last() {
    return WithLast(5);
}
std::vector<Bytes> Type14Last() {
    return WithLast(14);
}

struct Row {
    const char* name;
    void (*configure)(DeviceConfig&);
    int status;
    std::size_t done = kAll;                // the file's frames done: the failing one's index
    std::uint32_t deviceType = kModuleType; // 0 when the query failed
    int windows = 0;                        // connect windows that run out
    std::vector<std::uint8_t> waits = {};   // one full time-out of each
    double heldMs = 0;                      // replies held back
    std::vector<Bytes> (*file)() = Firmware;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

const std::vector<std::uint8_t> kConnects20(20, 1);

// clang-format off
const Row kRows[] = {
    {"NoFault", [](DeviceConfig&) {}, 1},
    // The wake-up goes unanswered too; both connect windows run out.
    {"SilentDevice", [](DeviceConfig& c) { c.silent = true; }, -4, 0, 0, 2},
    {"ConnectAcknowledgedLateWithinTheWindow", [](DeviceConfig& c) { c.ignoreConnects = 20; }, 1,
     kAll, kModuleType, 0, kConnects20},
    {"ConnectNeverAcknowledged", [](DeviceConfig& c) { c.ignoreConnects = 1 << 20; }, -4, 0, 0, 2},

    {"OneCorruptedConnectAcknowledge", [](DeviceConfig& c) { c.corruptReplyNumber = 5; }, 1, kAll,
     kModuleType, 0, {1}},
    {"OneCorruptedReply", [](DeviceConfig& c) { c.corruptReplyNumber = 7; }, 1, kAll, kModuleType,
     0, {3}},
    // The query's last attempt is malformed: it fails, and its type is not taken.
    {"LastQueryReplyCorrupted", [](DeviceConfig& c) { c.corruptReplyNumber = 4; }, 1, kAll, 0, 0,
     {18}},
    // Nothing past the connect is ever reached.
    {"EveryReplyCorrupted", [](DeviceConfig& c) { c.corruptType = 1; }, -4, 0, 0, 2},
    {"EveryReplyToType3Corrupted", [](DeviceConfig& c) { c.corruptType = 3; }, -1, 3, kModuleType,
     0, {3, 3, 3}},
    {"EveryReplyToType16Corrupted", [](DeviceConfig& c) { c.corruptType = 16; }, -1, 10,
     kModuleType, 0, {16, 16, 16}},

    {"WrongEchoType9", [](DeviceConfig& c) { c.wrongEchoType = 9; }, -8, 6},
    {"WrongEchoType16", [](DeviceConfig& c) { c.wrongEchoType = 16; }, -12, 10},
    // The changed byte is the device's module type's first: the query takes it so.
    {"WrongEchoType18", [](DeviceConfig& c) { c.wrongEchoType = 18; }, -13, 0, 0xFFC0FFEE},

    {"StatusOneOnType3IsGood", [](DeviceConfig& c) { c.replyStatus[3] = 1; }, 1},
    {"WrongStatusType3", [](DeviceConfig& c) { c.replyStatus[3] = 2; }, -5, 3},
    {"WrongStatusType5", [](DeviceConfig& c) { c.replyStatus[5] = 1; }, -6, 4},
    {"WrongStatusType7", [](DeviceConfig& c) { c.replyStatus[7] = 1; }, -7, 5},
    {"WrongStatusType9", [](DeviceConfig& c) { c.replyStatus[9] = 1; }, -8, 6},
    {"WrongStatusType11", [](DeviceConfig& c) { c.replyStatus[11] = 0x80; }, -9, 7},
    {"WrongStatusType14", [](DeviceConfig& c) { c.replyStatus[14] = 1; }, -11, 9},
    {"WrongStatusType16", [](DeviceConfig& c) { c.replyStatus[16] = 0xFF; }, -12, 10},
    // The query takes the type whatever the status; the file's record then fails.
    {"WrongStatusType18", [](DeviceConfig& c) { c.replyStatus[18] = 1; }, -13, 0},

    // A late reply is met by the next attempt, which takes it as its own.
    {"Type5DelayedJustUnderItsTimeOut", [](DeviceConfig& c) { c.typeDelayMs[5] = 50; }, 1, kAll,
     kModuleType, 0, {}, 50, Type5Last},
    {"Type5DelayedJustOverItsTimeOut", [](DeviceConfig& c) { c.typeDelayMs[5] = 150; }, 1, kAll,
     kModuleType, 0, {5}, 150, Type5Last},
    {"Type5DelayedPastAllThreeAttempts", [](DeviceConfig& c) { c.typeDelayMs[5] = 500; }, -1, 10,
     kModuleType, 0, {5, 5, 5}, 0, Type5Last},
    {"Type14DelayedJustUnderItsTimeOut", [](DeviceConfig& c) { c.typeDelayMs[14] = 3000; }, 1,
     kAll, kModuleType, 0, {}, 3000, Type14Last},
    {"Type14DelayedJustOverItsTimeOut", [](DeviceConfig& c) { c.typeDelayMs[14] = 5000; }, 1,
     kAll, kModuleType, 0, {14}, 5000, Type14Last},

    {"HangUpAtTheFirstFrame", [](DeviceConfig& c) { c.hangupAfterFrames = 6; }, -1, 0},
    {"HangUpAtAMiddleFrame", [](DeviceConfig& c) { c.hangupAfterFrames = 10; }, -1, 6},
    {"HangUpAtTheLastFrame", [](DeviceConfig& c) { c.hangupAfterFrames = 14; }, -1, 10},

    // Stray bytes are read as the start of the next reply, which is then malformed.
    {"GarbageBetweenQueryAndDownload", [](DeviceConfig& c) { c.garbageAfterReply = 4; }, 1, kAll,
     kModuleType, 0, {1}},
    {"GarbageBetweenReplies", [](DeviceConfig& c) { c.garbageAfterReply = 7; }, 1, kAll,
     kModuleType, 0, {5}},
    {"GarbageAfterTheLastReply", [](DeviceConfig& c) { c.garbageAfterReply = 13; }, 1},

    // Five ignored connects are no replies: the corrupted one is type 3's first,
    // the garbage follows its second.
    {"LateConnectCorruptedReplyAndGarbage",
     [](DeviceConfig& c) { c.ignoreConnects = 5; c.corruptReplyNumber = 7;
                           c.garbageAfterReply = 8; },
     1, kAll, kModuleType, 0, {1, 1, 1, 1, 1, 3, 5}},
    {"CorruptedReplyThenWrongStatus",
     [](DeviceConfig& c) { c.corruptReplyNumber = 6; c.replyStatus[11] = 1; }, -9, 7, kModuleType,
     0, {18}},
    // The garbage costs type 5 a second attempt, one more frame before the hang-up.
    {"GarbageThenHangUp", [](DeviceConfig& c) { c.garbageAfterReply = 7; c.hangupAfterFrames = 11; },
     -1, 6, kModuleType, 0, {5}},
    {"SlowReplyThenWrongEcho",
     [](DeviceConfig& c) { c.typeDelayMs[9] = 1000; c.wrongEchoType = 16; }, -12, 10, kModuleType,
     0, {}, 1000},
    {"LateConnectThenWrongStatus",
     [](DeviceConfig& c) { c.ignoreConnects = 7; c.replyStatus[7] = 1; }, -7, 5, kModuleType, 0,
     {1, 1, 1, 1, 1, 1, 1}},
};
// clang-format on

class FaultMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(FaultMatrix, RunEndsWithTheStatusItsFaultImplies) {
    const Row& row = GetParam();
    ToolBench bench;
    DeviceConfig config;
    config.moduleType = kModuleType;
    row.configure(config);
    const B4kSimulator& sim = bench.Attach(config);
    const std::vector<Bytes> file = row.file();
    bench.WriteFirmware(file);
    FaultRunExpectation expected;
    expected.status = row.status;
    expected.deviceType = row.deviceType;
    expected.done = row.done;
    expected.boundSeconds = RunBoundSeconds(row.windows, row.waits, row.heldMs);
    const ProcessResult result = bench.Run({});
    ExpectFaultRun(bench, file, result, expected);
    ExpectFileTraffic(sim, file, expected);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& row) { return row.param.name; });

} // namespace
