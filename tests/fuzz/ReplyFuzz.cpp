// The reply acceptance rule and the reply check of every command type, as
// pure functions of the frame sent and the bytes read back, judged against
// the protocol's command table written out here once more. The input is a
// mode byte, the frame's type, length and payload, then the reply bytes.
// Frame and reply live in buffers of exactly their size, so that any read
// beyond them is an AddressSanitizer report.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzCheck.h"
#include "firmware/Frame.h"
#include "protocol/Zuldownloadprotocolclass.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Protocol = TZULDownloadProtocolClass;

enum class Check { Ack, Status, Echo, ModuleType, None };

struct Row {
    std::uint8_t type;
    std::uint8_t replyLength; // echo rows: the send length plus one
    Check check;
    bool sends;
    std::int32_t code;
};

constexpr Row kRows[] = {
    {1, 7, Check::Ack, true, -4},    {3, 6, Check::Status, true, -5},
    {5, 6, Check::Status, true, -6}, {7, 6, Check::Status, true, -7},
    {9, 0, Check::Echo, true, -8},   {11, 6, Check::Status, true, -9},
    {13, 0, Check::None, true, 0},   {14, 6, Check::Status, true, -11},
    {16, 0, Check::Echo, true, -12}, {18, 10, Check::ModuleType, true, -13},
    {20, 0, Check::None, false, 0},  {22, 0, Check::None, false, 0},
};

const Row* FindRow(std::uint8_t type) {
    const auto row = std::find_if(std::begin(kRows), std::end(kRows),
                                  [=](const Row& r) { return r.type == type; });
    return row == std::end(kRows) ? nullptr : row;
}

// Mode bit 0: give the reply valid brackets, length and checksum, so that
// most inputs get past the acceptance rule to the type's own check.
constexpr std::uint8_t kRepairReply = 0x01;

std::uint8_t Sum(const Bytes& bytes, std::size_t from, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        sum += bytes[i];
    }
    return static_cast<std::uint8_t>(sum);
}

void RepairReply(Bytes& reply) {
    const std::size_t n = reply.size();
    if (n < 5) {
        return;
    }
    reply[0] = 0x5B;
    reply[n - 1] = 0x5D;
    reply[2] = static_cast<std::uint8_t>(std::min<std::size_t>(reply[2], n - 5));
    reply[n - 2] = Sum(reply, 1, reply[2] + 2u);
}

bool WellFormed(const Bytes& reply) {
    const std::size_t n = reply.size();
    return n == 0 || (n >= 5 && reply[0] == 0x5B && reply[n - 1] == 0x5D && reply[2] <= n - 5 &&
                      reply[n - 2] == Sum(reply, 1, reply[2] + 2u));
}

bool EchoMatches(const Bytes& frame, const Bytes& reply) {
    const std::size_t length = frame[2];
    return length + 4 <= reply.size() &&
           std::equal(frame.begin() + 3, frame.begin() + 3 + length, reply.begin() + 4);
}

// The result a well-formed reply must get: the row's good result or its code.
std::int32_t Expected(const Row& row, const Bytes& frame, const Bytes& reply) {
    const bool typeRight = reply[1] == row.type + 1;
    switch (row.check) {
    case Check::Ack:
        return reply == Bytes{0x5B, 0x02, 0x02, 0xAA, 0x55, 0x03, 0x5D} ? 1 : row.code;
    case Check::Status:
        if (typeRight && reply[2] == 1 && reply[3] <= (row.type == 3 ? 1 : 0)) {
            return reply[3];
        }
        return row.code;
    case Check::Echo:
    case Check::ModuleType: {
        const bool lengthRight = row.check == Check::Echo || reply[2] == 5;
        return typeRight && lengthRight && reply[3] == 0 && EchoMatches(frame, reply) ? 0
                                                                                      : row.code;
    }
    case Check::None:
        break;
    }
    return 1;
}

Bytes MakeFrame(const std::uint8_t* data, std::uint8_t type, std::uint8_t length) {
    Bytes frame(length + 5u);
    frame[0] = 0x5B;
    frame[1] = type;
    frame[2] = length;
    std::memcpy(frame.data() + 3, data, length);
    frame[3 + length] = Sum(frame, 1, length + 2u);
    frame[4 + length] = 0x5D;
    return frame;
}

void CheckModuleType(const Row& row, const Bytes& reply, const TReplyVerdict& verdict) {
    const bool carried = row.check == Check::ModuleType && reply[1] == 0x13 && reply[2] == 5;
    FUZZ_REQUIRE(verdict.moduleType.has_value() == carried);
    if (carried) {
        const std::uint32_t value =
            (std::uint32_t{reply[4]} << 24) | (reply[5] << 16) | (reply[6] << 8) | reply[7];
        FUZZ_REQUIRE(*verdict.moduleType == value);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || size - 3 < data[2]) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const Bytes frame = MakeFrame(data + 3, data[1], data[2]);
    const Row* row = FindRow(frame[1]);
    const TCommandRow* actual = Protocol::FindCommand(frame[1]);
    FUZZ_REQUIRE((actual == nullptr) == (row == nullptr));
    if (row == nullptr) {
        return 0;
    }
    FUZZ_REQUIRE(actual->type == row->type);
    // Nothing goes out truncated: a frame or echo beyond 8-bit lengths is refused.
    const bool echo = row->check == Check::Echo;
    const bool fits = !row->sends || frame.size() + (echo ? 1 : 0) <= 255;
    const std::optional<TExchangeLengths> lengths =
        Protocol::ExchangeLengths(*actual, frame.data());
    FUZZ_REQUIRE(lengths.has_value() == fits);
    if (!lengths) {
        return 0;
    }
    FUZZ_REQUIRE(lengths->sendLength == (row->sends ? frame.size() : 0));
    const std::size_t replyLength = echo ? frame.size() + 1 : row->replyLength;
    FUZZ_REQUIRE(lengths->replyLength == replyLength);

    // A reply shorter than expected is a failed read: nothing to judge.
    const std::size_t rest = size - 3 - frame[2];
    if (rest < replyLength) {
        return 0;
    }
    Bytes reply(data + 3 + frame[2], data + 3 + frame[2] + replyLength);
    if ((mode & kRepairReply) != 0) {
        RepairReply(reply);
    }
    FUZZ_REQUIRE(ReplyIsWellFormed(reply.data(), reply.size()) == WellFormed(reply));
    if (!WellFormed(reply) || replyLength == 0) {
        return 0;
    }
    const TReplyVerdict verdict = Protocol::CheckReply(*actual, frame.data(), reply.data(),
                                                       static_cast<std::uint8_t>(replyLength));
    FUZZ_REQUIRE(verdict.result == Expected(*row, frame, reply));
    CheckModuleType(*row, reply, verdict);
    return 0;
}
