// The reply acceptance rule and the reply check of every command type, as
// pure functions of the frame sent and the bytes read back. The input is a
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

// Mode bit 0: give the reply valid brackets, length and checksum, so that
// most inputs get past the acceptance rule to the type's own check.
constexpr std::uint8_t kRepairReply = 0x01;

void RepairReply(Bytes& reply) {
    const std::size_t n = reply.size();
    if (n < kFrameOverhead) {
        return;
    }
    reply[0] = kFrameStart;
    reply[n - 1] = kFrameEnd;
    reply[kLengthOffset] =
        static_cast<std::uint8_t>(std::min<std::size_t>(reply[kLengthOffset], n - kFrameOverhead));
    reply[n - 2] = FrameChecksum(reply.data() + kTypeOffset);
}

bool EchoMatches(const Bytes& frame, const Bytes& reply) {
    const std::size_t length = frame[kLengthOffset];
    return length + 4 <= reply.size() &&
           std::equal(frame.begin() + kPayloadOffset, frame.begin() + kPayloadOffset + length,
                      reply.begin() + 4);
}

// What must hold of the verdict on a well-formed reply.
void CheckVerdict(const TCommandRow& row, const Bytes& frame, const Bytes& reply,
                  const TReplyVerdict& verdict) {
    const bool good = verdict.result >= 0;
    FUZZ_REQUIRE(good || verdict.result == row.failCode);
    if (good) {
        FUZZ_REQUIRE(reply[kTypeOffset] == row.type + 1);
    }
    switch (row.type) {
    case kTypeConnect:
        FUZZ_REQUIRE(good == std::equal(reply.begin(), reply.end(), kConnectAcknowledge.begin(),
                                        kConnectAcknowledge.end()));
        break;
    case kTypeEchoCommand9:
    case kTypeEchoCommand16:
    case kTypeModuleType:
        FUZZ_REQUIRE(!good || (reply[3] == 0 && EchoMatches(frame, reply)));
        break;
    default: // one status byte, handed back by type 3 only
        if (good) {
            const bool type3 = row.type == kTypeCommand3;
            FUZZ_REQUIRE(reply[kLengthOffset] == 1 && reply[3] <= (type3 ? 1 : 0));
            FUZZ_REQUIRE(verdict.result == (type3 ? reply[3] : 0));
        }
        break;
    }
    // The module type is taken from a reply of the right type and length only.
    const bool carriesType = row.type == kTypeModuleType &&
                             reply[kTypeOffset] == kTypeModuleTypeReply &&
                             reply[kLengthOffset] == 5;
    FUZZ_REQUIRE(verdict.moduleType.has_value() == carriesType);
    if (carriesType) {
        FUZZ_REQUIRE(*verdict.moduleType == ReadBigEndian32(reply.data() + 4));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::uint8_t type = data[1];
    const std::uint8_t length = data[2];
    if (size - 3 < length) {
        return 0;
    }
    Bytes frame(length + kFrameOverhead);
    frame[0] = kFrameStart;
    frame[kTypeOffset] = type;
    frame[kLengthOffset] = length;
    std::memcpy(frame.data() + kPayloadOffset, data + 3, length);
    frame[kPayloadOffset + length] = FrameChecksum(frame.data() + kTypeOffset);
    frame[kPayloadOffset + length + 1] = kFrameEnd;

    const TCommandRow* row = Protocol::FindCommand(type);
    if (row == nullptr) {
        return 0;
    }
    FUZZ_REQUIRE(row->type == type);
    const std::optional<TExchangeLengths> lengths = Protocol::ExchangeLengths(*row, frame.data());
    if (!lengths) {
        // Refused only when the frame or its echo would not fit 8-bit lengths.
        FUZZ_REQUIRE(row->sends && frame.size() + (row->echoReply ? 1 : 0) > 255);
        return 0;
    }
    // Nothing goes out truncated, and an echo is expected whole.
    FUZZ_REQUIRE(lengths->sendLength == (row->sends ? frame.size() : 0));
    const std::size_t replyLength = lengths->replyLength;
    FUZZ_REQUIRE(!row->echoReply || replyLength == frame.size() + 1);

    // A reply shorter than expected is a failed read: nothing to judge.
    const std::size_t rest = size - 3 - length;
    if (rest < replyLength) {
        return 0;
    }
    Bytes reply(data + 3 + length, data + 3 + length + replyLength);
    if ((mode & kRepairReply) != 0) {
        RepairReply(reply);
    }
    if (!ReplyIsWellFormed(reply.data(), reply.size()) || replyLength == 0) {
        return 0;
    }
    FUZZ_REQUIRE(reply[0] == kFrameStart && reply.back() == kFrameEnd &&
                 reply[kLengthOffset] + kFrameOverhead <= replyLength);
    const TReplyVerdict verdict =
        Protocol::CheckReply(*row, frame.data(), reply.data(), lengths->replyLength);
    CheckVerdict(*row, frame, reply, verdict);
    return 0;
}
