// Every row of the command table, pinned call by call through a port that
// records: the time-out set, the bytes written, the bytes asked for, and the
// result of a good reply and of a reply that fails its check; a type of no
// row touches nothing and ends with -14. Then what the worker does around the
// table: malformed replies, the connect window, progress.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>
#include <tuple>

#include "Commandtable.h"
#include "Tempdir.h"
#include "Testframes.h"
#include "Tickingclock.h"
#include "protocol/Zuldownloadprotocolclass.h"
#include "runtime/Calendarclock.h"
#include "serial/Serialport.h"

using Bytes = std::vector<std::uint8_t>;

// The port's calls into the OS layer, which this file replaces: a record of
// every call ("timeouts", "write", "read" or "purge"; its milliseconds; the
// bytes written, or the count asked for as their number), and the replies a
// test scripts. Each read takes the next reply whole or in part; an empty one
// is silence for the read's time-out, none left is silence at once.
using Call = std::tuple<std::string, std::uint32_t, Bytes>;
using Calls = std::vector<Call>;
Calls recorded;
std::deque<Bytes> scripted;

namespace serialport {
Handle Open(int /*portNumber*/) {
    return 3;
}
void ClearAndPurge(Handle /*handle*/) {
    recorded.push_back({"purge", 0, {}});
}
bool GetLineSettings(Handle /*handle*/, LineSettings& /*settings*/) {
    return true;
}
bool SetLineSettings(Handle /*handle*/, const LineSettings& /*settings*/) {
    return true;
}
bool SetTimeouts(Handle /*handle*/, std::uint32_t readMs, std::uint32_t writeMs) {
    recorded.push_back({readMs == writeMs ? "timeouts" : "timeouts differ", readMs, {}});
    return true;
}
std::uint32_t Write(Handle /*handle*/, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t writeMs) {
    recorded.push_back({"write", writeMs, {data, data + count}});
    return count;
}
bool Read(Handle /*handle*/, std::uint8_t* buffer, std::uint32_t count, std::uint32_t readMs,
          std::uint32_t& got) {
    recorded.push_back({"read", readMs, Bytes(count)});
    got = 0;
    if (!scripted.empty()) {
        if (scripted.front().empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(readMs));
        }
        got = static_cast<std::uint32_t>(std::min<std::size_t>(count, scripted.front().size()));
        std::copy_n(scripted.front().begin(), got, buffer);
        scripted.pop_front();
    }
    return true;
}
void Close(Handle /*handle*/) {}
} // namespace serialport

namespace {

// A good status, then the echo.
Bytes Echo(std::uint8_t type, Bytes payload) {
    payload.insert(payload.begin(), 0);
    return MakeFrame(type, payload);
}

struct Row {
    std::uint8_t type;
    Bytes payload;
    Bytes goodReply;
    std::int32_t goodResult;
    Bytes badReply; // well-formed, fails the check; empty: no check to fail
};

const Row kRows[] = {
    {1, kAccessCode, kConnectAck, 1, MakeFrame(2, {0xAA, 0x56})},
    {3, {9}, MakeFrame(4, {1}), 1, MakeFrame(4, {2})},
    {5, {9}, MakeFrame(6, {0}), 0, MakeFrame(6, {1})},
    {7, {9}, MakeFrame(8, {0}), 0, MakeFrame(8, {1})},
    {9, {4, 5}, Echo(10, {4, 5}), 0, Echo(10, {4, 6})},
    {11, {9}, MakeFrame(12, {0}), 0, {0x5B, 0x0C, 0x00, 0x00, 0x0C, 0x5D}},
    {13, {9}, {}, 1, {}},
    {14, {9}, MakeFrame(15, {0}), 0, MakeFrame(14, {0})},
    {16, {4, 5}, Echo(17, {4, 5}), 0, MakeFrame(17, {1, 4, 5})},
    {18, {0, 0, 0, 2}, Echo(19, {0, 0, 0, 2}), 0, Echo(19, {0, 0, 0, 3})},
    {20, {0, 1, 2, 3}, {}, 1, {}},
    {22, {0, 1, 2, 3}, {}, 1, {}},
    // The largest frames that go out whole: 255 bytes, and an echo of 255.
    {14, Bytes(250, 0x14), MakeFrame(15, {0}), 0, MakeFrame(15, {1})},
    {16, Bytes(249, 0x16), Echo(17, Bytes(249, 0x16)), 0, Echo(17, Bytes(249, 6))},
};

// A worker and an open port whose calls from here on are recorded.
struct Bench {
    TRS232Class port;
    TZULDownloadProtocolClass worker{true};
    explicit Bench(std::deque<Bytes> replies) {
        port.OpenPort(1);
        recorded.clear();
        scripted = std::move(replies);
    }
    // The calls of one command's exchange, and its result.
    std::pair<Calls, std::int32_t> Exchange(const Bytes& frame) {
        const std::int32_t result = worker.SendCommand(&port, frame.data());
        return {recorded, result};
    }
};

// Attempts as the command table implies: time-out, frame, reply asked for.
Calls Attempts(const Bytes& frame, int count) {
    const ExpectedCommand& row = *ExpectedCommandOf(frame[1]);
    const std::size_t replyBytes = ReplyBytes(row, frame.size());
    Calls expected;
    for (int i = 0; i < count; ++i) {
        expected.push_back({"timeouts", row.timeoutMs, {}});
        if (Sent(row)) {
            expected.push_back({"write", row.timeoutMs, frame});
        }
        if (replyBytes > 0) {
            expected.push_back({"read", row.timeoutMs, Bytes(replyBytes)});
        }
    }
    return expected;
}

} // namespace

TEST(CommandTable, EachRowIsPinnedCallByCallAndAnUnknownTypeTouchesNothing) {
    for (const Row& row : kRows) {
        SCOPED_TRACE("type " + std::to_string(row.type));
        const Bytes frame = MakeFrame(row.type, row.payload);
        EXPECT_EQ(Bench({row.goodReply}).Exchange(frame),
                  std::pair(Attempts(frame, 1), row.goodResult));
        // A well-formed reply that fails the check: the frame again, three times, no flush.
        if (!row.badReply.empty()) {
            EXPECT_EQ(Bench({row.badReply, row.badReply, row.badReply}).Exchange(frame),
                      std::pair(Attempts(frame, 3), ExpectedCommandOf(row.type)->code));
        }
    }
    for (const std::uint8_t type : Bytes{0, 2, 4, 6, 8, 10, 12, 15, 17, 19, 21, 23, 255}) {
        EXPECT_EQ(Bench({}).Exchange(MakeFrame(type, {1})), std::pair(Calls{}, -14));
    }
}

// A malformed reply costs a 20 ms pause and a flush up to the first silent
// read; the next attempts meet silence. Each clause of the acceptance rule
// broken alone: the start byte, the end byte, a length byte naming more
// payload than the reply holds (though the sum fits), the checksum.
TEST(CommandTable, AMalformedReplyIsFollowedByAPauseAndAFlush) {
    const Bytes type3 = MakeFrame(3, {9});
    const std::pair<Bytes, Bytes> cases[] = {
        {type3, {0x5A, 0x04, 0x01, 0x00, 0x05, 0x5D}},
        {type3, {0x5B, 0x04, 0x01, 0x00, 0x05, 0x5C}},
        {kConnectFrame, {0x5B, 0x02, 0x03, 0xFB, 0x00, 0x42, 0x5D}},
        {type3, {0x5B, 0x04, 0x01, 0x00, 0x06, 0x5D}},
    };
    for (const auto& [frame, reply] : cases) {
        Calls expected = Attempts(frame, 3);
        expected.insert(expected.begin() + 3, {{"purge", 0, {}}, {"read", 100, {0}}});
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Bench({reply}).Exchange(frame), std::pair(expected, -1));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    }
}

// The window closes at the first whole-second reading more than 4 past its
// start, once the call in flight (three unanswered attempts) has ended.
TEST(DownloadWorker, TheConnectWindowClosesAtTheFirstReadingPastFourSeconds) {
    TCalendarClock::Use(TickingClock);
    Bench bench({});
    EXPECT_EQ(bench.worker.DownloadFile("", &bench.port), -4);
    EXPECT_EQ(clockReadings, 6); // 1000 at the start, then 1001 to 1005
    EXPECT_EQ(std::ranges::count(recorded, Call{"write", 100, kConnectFrame}), 15);
    TCalendarClock::Use(nullptr);
}

TEST(DownloadWorker, ProgressIsTruncatedNotRounded) {
    Tempdir dir;
    Bytes file = MakeFrame(3, {0, 0, 0, 0}); // ends at position 9 of 1000: 0.9 %
    file.resize(1000, '.');
    WriteBytes(dir.File("fw.ctf"), file);
    Bench bench({kConnectAck, MakeFrame(4, {0})});
    EXPECT_EQ(bench.worker.DownloadFile(dir.File("fw.ctf"), &bench.port), 1);
    EXPECT_EQ(bench.worker.GetProgress(), 0);
}
