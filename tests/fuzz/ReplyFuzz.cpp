// The reply acceptance rule and the reply check of every command type, as
// pure functions of the frame sent and the bytes read back, judged against
// the protocol's command table as the tests write it out. The input is a
// mode byte, the frame's type, length and payload, then the reply bytes.
// Frame and reply live in buffers of exactly their size, so that any read
// beyond them is an AddressSanitizer report.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "../support/Commandtable.h"
#include "../support/Testframes.h"
#include "FuzzCheck.h"
#include "protocol/Zuldownloadprotocolclass.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The result a well-formed reply must get: the row's good result or its code.
std::int32_t Expected(const ExpectedCommand& row, const Bytes& frame, const Bytes& reply) {
    if (row.check == ReplyCheck::Acknowledge || row.check == ReplyCheck::None) {
        return row.check == ReplyCheck::None || reply == kConnectAck ? 1 : row.code;
    }
    const bool typeRight = reply[1] == row.type + 1;
    if (row.check == ReplyCheck::Status) {
        return typeRight && reply[2] == 1 && reply[3] <= (row.type == 3 ? 1 : 0) ? reply[3]
                                                                                 : row.code;
    }
    // The echo follows the status byte and lies within the reply.
    const bool echoed = frame[2] + 4u <= reply.size() &&
                        std::equal(frame.begin() + 3, frame.end() - 2, reply.begin() + 4);
    return typeRight && (row.check == ReplyCheck::Echo || reply[2] == 5) && reply[3] == 0 && echoed
               ? 0
               : row.code;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || size - 3 < data[2]) {
        return 0;
    }
    const Bytes frame = MakeFrame(data[1], Bytes(data + 3, data + 3 + data[2]));
    const ExpectedCommand* row = ExpectedCommandOf(frame[1]);
    const TCommandRow* actual = TZULDownloadProtocolClass::FindCommand(frame[1]);
    FUZZ_REQUIRE((actual == nullptr) == (row == nullptr));
    if (actual == nullptr) {
        return 0;
    }
    // Records 20 and 22 stay on the host. Nothing goes out truncated: a frame
    // or an echo beyond 8-bit lengths is refused.
    const std::size_t n = ReplyBytes(*row, frame.size());
    const auto lengths = TZULDownloadProtocolClass::ExchangeLengths(*actual, frame.data());
    FUZZ_REQUIRE(lengths.has_value() == (!Sent(*row) || std::max(frame.size(), n) <= 255));
    if (!lengths) {
        return 0;
    }
    FUZZ_REQUIRE(lengths->sendLength == (Sent(*row) ? frame.size() : 0) &&
                 lengths->replyLength == n);

    // A reply shorter than expected is a failed read: nothing to judge.
    const std::size_t rest = size - 3 - frame[2];
    if (rest < n || n == 0) {
        return 0;
    }
    Bytes reply(data + size - rest, data + size - rest + n);
    // The low byte of the sum of type, length and the payload the length names.
    const auto sum = [&reply] {
        return static_cast<std::uint8_t>(
            std::accumulate(reply.begin() + 1, reply.begin() + 3 + reply[2], 0));
    };
    // Mode bit 0: valid brackets, length and checksum, so that most inputs
    // get past the acceptance rule to the type's own check.
    if ((data[0] & 1) != 0 && n >= 5) {
        reply[0] = 0x5B;
        reply[n - 1] = 0x5D;
        reply[2] = static_cast<std::uint8_t>(std::min<std::size_t>(reply[2], n - 5));
        reply[n - 2] = sum();
    }
    // A length byte may name fewer payload bytes than the reply holds.
    const bool wellFormed = n >= 5 && reply[0] == 0x5B && reply[n - 1] == 0x5D &&
                            reply[2] <= n - 5 && reply[n - 2] == sum();
    FUZZ_REQUIRE(ReplyIsWellFormed(reply.data(), n) == wellFormed);
    if (!wellFormed) {
        return 0;
    }
    const TReplyVerdict verdict = TZULDownloadProtocolClass::CheckReply(
        *actual, frame.data(), reply.data(), static_cast<std::uint8_t>(n));
    FUZZ_REQUIRE(verdict.result == Expected(*row, frame, reply));
    // A module type reply of the right type and length carries its type, good or not.
    const bool carried = row->check == ReplyCheck::ModuleType && reply[1] == 0x13 && reply[2] == 5;
    FUZZ_REQUIRE(verdict.moduleType.has_value() == carried);
    FUZZ_REQUIRE(!carried ||
                 *verdict.moduleType == ((std::uint32_t{reply[4]} << 24) | (reply[5] << 16) |
                                         (reply[6] << 8) | reply[7]));
    return 0;
}
