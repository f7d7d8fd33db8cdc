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

#include "Tempdir.h"
#include "Testframes.h"
#include "protocol/Zuldownloadprotocolclass.h"
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
    {9, {4, 5}, 4000, 8, Echo(10, {4, 5}), 0, Echo(10, {4, 6}), -8},
    {11, {9}, 4000, 6, MakeFrame(12, {0}), 0, {0x5B, 0x0C, 0x00, 0x00, 0x0C, 0x5D}, -9},
    {13, {9}, 100, 0, {}, 1, {}, 0},
    {14, {9}, 4000, 6, MakeFrame(15, {0}), 0, MakeFrame(14, {0}), -11},
    {16, {4, 5}, 4000, 8, Echo(17, {4, 5}), 0, MakeFrame(17, {1, 4, 5}), -12},
    {18, {0, 0, 0, 2}, 100, 10, Echo(19, {0, 0, 0, 2}), 0, Echo(19, {0, 0, 0, 3}), -13},
    {20, {0, 1, 2, 3}, 100, 0, {}, 1, {}, 0},
    {22, {0, 1, 2, 3}, 100, 0, {}, 1, {}, 0},
    // The largest frames that go out whole: 255 bytes, and an echo of 255.
    {14, Bytes(250, 0x14), 4000, 6, MakeFrame(15, {0}), 0, MakeFrame(15, {1}), -11},
    {16, Bytes(249, 0x16), 4000, 255, Echo(17, Bytes(249, 0x16)), 0, Echo(17, Bytes(249, 6)), -12},
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

// Attempts as the row implies: time-out, frame, reply asked for.
Calls Attempts(const Row& row, const Bytes& frame, int count) {
    Calls expected;
    for (int i = 0; i < count; ++i) {
        expected.push_back({"timeouts", row.timeoutMs, {}});
        if (row.type != 20 && row.type != 22) {
            expected.push_back({"write", row.timeoutMs, frame});
        }
        if (row.readCount > 0) {
            expected.push_back({"read", row.timeoutMs, Bytes(row.readCount)});
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
                  std::pair(Attempts(row, frame, 1), row.goodResult));
        // A well-formed reply that fails the check: the frame again, three times, no flush.
        if (!row.badReply.empty()) {
            EXPECT_EQ(Bench({row.badReply, row.badReply, row.badReply}).Exchange(frame),
                      std::pair(Attempts(row, frame, 3), row.code));
        }
    }
    for (const std::uint8_t type : Bytes{0, 2, 4, 6, 8, 10, 12, 15, 17, 19, 21, 23, 255}) {
        EXPECT_EQ(Bench({}).Exchange(MakeFrame(type, {1})), std::pair(Calls{}, -14));
    }
}

// A malformed reply costs a 20 ms pause and a flush up to the first silent
// read; the next attempts meet silence. Malformed here: a wrong end byte, and
// a length byte naming more payload than the reply holds, though the sum fits.
TEST(CommandTable, AMalformedReplyIsFollowedByAPauseAndAFlush) {
    const std::pair<const Row&, Bytes> cases[] = {
        {kRows[1], {0x5B, 0x04, 0x01, 0x00, 0x05, 0x5C}},
        {kRows[0], {0x5B, 0x02, 0x03, 0xFB, 0x00, 0x42, 0x5D}},
    };
    for (const auto& [row, reply] : cases) {
        const Bytes frame = MakeFrame(row.type, row.payload);
        Calls expected = Attempts(row, frame, 3);
        expected.insert(expected.begin() + 3, {{"purge", 0, {}}, {"read", 100, {0}}});
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Bench({reply}).Exchange(frame), std::pair(expected, -1));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    }
}

// Unanswered connects cost three 100 ms time-outs a call; the window is 4 to
// 5 s (whole seconds past 4), and the call in flight when it closes ends first.
// A connect answered late within it is the fault matrix's part.
TEST(DownloadWorker, TheConnectWindowLastsFourToFiveSeconds) {
    Bench bench(std::deque<Bytes>(100));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bench.worker.DownloadFile("", &bench.port), -4);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    EXPECT_GE(seconds.count(), 4.0);
    EXPECT_LE(seconds.count(), 7.0);
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
