// Every row of the command table, pinned call by call through a port that
// records: the time-out set, the bytes written, the bytes asked for, and the
// result of a good reply and of a reply that fails its check.
#include <gtest/gtest.h>

#include "Recordingport.h"
#include "Testframes.h"
#include "protocol/Zuldownloadprotocolclass.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Echo(std::uint8_t type, Bytes payload) {
    payload.insert(payload.begin(), 0);
    return MakeFrame(type, payload);
}

struct Row {
    std::uint8_t type;
    Bytes payload;
    std::uint32_t timeoutMs;
    std::size_t readCount;
    Bytes goodReply;
    std::int32_t goodResult;
    Bytes badReply; // well-formed, fails the check; empty: no check to fail
    std::int32_t code;
};

const Row kRows[] = {
    {1, kAccessCode, 100, 7, kConnectAck, 1, MakeFrame(2, {0xAA, 0x56}), -4},
    {3, {9}, 100, 6, MakeFrame(4, {1}), 1, MakeFrame(4, {2}), -5},
    {5, {9}, 100, 6, MakeFrame(6, {0}), 0, MakeFrame(6, {1}), -6},
    {7, {9}, 20000, 6, MakeFrame(8, {0}), 0, MakeFrame(8, {1}), -7},
    {9, {4, 5}, 4000, 8, MakeFrame(10, {0, 4, 5}), 0, MakeFrame(10, {0, 4, 6}), -8},
    {11, {9}, 4000, 6, MakeFrame(12, {0}), 0, {0x5B, 0x0C, 0x00, 0x00, 0x0C, 0x5D}, -9},
    {13, {9}, 100, 0, {}, 1, {}, 0},
    {14, {9}, 4000, 6, MakeFrame(15, {0}), 0, MakeFrame(14, {0}), -11},
    {16, {4, 5}, 4000, 8, MakeFrame(17, {0, 4, 5}), 0, MakeFrame(17, {1, 4, 5}), -12},
    {18,
     {0, 0, 0, 2},
     100,
     10,
     MakeFrame(19, {0, 0, 0, 0, 2}),
     0,
     MakeFrame(19, {0, 0, 0, 0, 3}),
     -13},
    {20, {0, 1, 2, 3}, 100, 0, {}, 1, {}, 0},
    {22, {0, 1, 2, 3}, 100, 0, {}, 1, {}, 0},
    // The largest frames that go out whole: 255 bytes, and an echo of 255.
    {14, Bytes(250, 0x14), 4000, 6, MakeFrame(15, {0}), 0, MakeFrame(15, {1}), -11},
    {16, Bytes(249, 0x16), 4000, 255, Echo(17, Bytes(249, 0x16)), 0, Echo(17, Bytes(249, 6)), -12},
};

// The calls of one exchange, without empty writes and reads (which touch nothing).
std::vector<recording::Call> Exchange(const Bytes& frame, std::deque<Bytes> replies,
                                      std::int32_t& result) {
    TRS232Class port;
    port.OpenPort(1);
    recording::calls.clear();
    recording::replies = std::move(replies);
    TZULDownloadProtocolClass worker(true);
    result = worker.SendCommand(&port, frame.data());
    std::vector<recording::Call> calls;
    for (const recording::Call& call : recording::calls) {
        if (call.what == "timeouts" || !call.bytes.empty()) {
            calls.push_back(call);
        }
    }
    return calls;
}

// One attempt as the row implies: time-out, frame, reply asked for.
std::vector<recording::Call> Attempt(const Row& row, const Bytes& frame) {
    std::vector<recording::Call> calls = {{"timeouts", row.timeoutMs, {}}};
    if (row.type != 20 && row.type != 22) {
        calls.push_back({"write", row.timeoutMs, frame});
    }
    if (row.readCount > 0) {
        calls.push_back({"read", row.timeoutMs, Bytes(row.readCount)});
    }
    return calls;
}

} // namespace

TEST(CommandTable, EachRowSetsItsTimeoutSendsTheFrameAndReadsItsReply) {
    for (const Row& row : kRows) {
        SCOPED_TRACE("type " + std::to_string(row.type));
        const Bytes frame = MakeFrame(row.type, row.payload);
        std::int32_t result = 0;
        EXPECT_EQ(Exchange(frame, {row.goodReply}, result), Attempt(row, frame));
        EXPECT_EQ(result, row.goodResult);
        if (row.badReply.empty()) {
            continue;
        }
        // A well-formed reply that fails the check: the frame again, three times, no flush.
        std::vector<recording::Call> three;
        for (int i = 0; i < 3; ++i) {
            const auto attempt = Attempt(row, frame);
            three.insert(three.end(), attempt.begin(), attempt.end());
        }
        EXPECT_EQ(Exchange(frame, {row.badReply, row.badReply, row.badReply}, result), three);
        EXPECT_EQ(result, row.code);
    }
}

TEST(CommandTable, AnUnknownTypeTouchesNothing) {
    for (const int type : {0, 2, 4, 6, 8, 10, 12, 15, 17, 19, 21, 23, 255}) {
        std::int32_t result = 0;
        EXPECT_TRUE(Exchange(MakeFrame(static_cast<std::uint8_t>(type), {1}), {}, result).empty());
        EXPECT_EQ(result, -14) << type;
    }
}
