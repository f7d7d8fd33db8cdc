#include "protocol/Zuldownloadprotocolclass.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>

#include "runtime/Calendarclock.h"

namespace {

constexpr int kAttempts = 3;
constexpr std::uint32_t kMalformedReplyPauseMs = 20;
constexpr double kConnectWindowSeconds = 4.0;
// Send length and reply length are 8-bit: the largest payloads sent whole.
constexpr std::uint8_t kMaxSentPayload = 250;
constexpr std::uint8_t kMaxEchoedPayload = 249;

constexpr std::array<TCommandRow, 12> kCommandTable = {{
    {kTypeConnect, 7, false, true, 100, -4},
    {kTypeCommand3, 6, false, true, 100, -5},
    {kTypeCommand5, 6, false, true, 100, -6},
    {kTypeCommand7, 6, false, true, 20000, -7},
    {kTypeEchoCommand9, 0, true, true, 4000, -8},
    {kTypeCommand11, 6, false, true, 4000, -9},
    {kTypeNoReply13, 0, false, true, 100, 0},
    {kTypeCommand14, 6, false, true, 4000, -11},
    {kTypeEchoCommand16, 0, true, true, 4000, -12},
    {kTypeModuleType, 10, false, true, 100, -13},
    {kTypeSoftwareRevision, 0, false, false, 100, 0},
    {kTypeBuildTime, 0, false, false, 100, 0},
}};

std::uint8_t ReplyType(const TCommandRow& row) {
    return static_cast<std::uint8_t>(row.type + 1);
}

bool EchoMatches(const std::uint8_t* frame, const std::uint8_t* reply, std::uint8_t replyLength) {
    const std::uint8_t length = frame[kLengthOffset];
    // The echo starts after the reply status and never reaches past the reply.
    if (length > replyLength - 4) {
        return false;
    }
    return std::memcmp(reply + 4, frame + kPayloadOffset, length) == 0;
}

// Types 3, 5, 7, 11, 14: one status byte, at most 1 for type 3.
TReplyVerdict CheckStatusReply(const TCommandRow& row, const std::uint8_t* reply) {
    const std::uint8_t highestStatus = row.type == kTypeCommand3 ? 1 : 0;
    if (reply[1] != ReplyType(row) || reply[2] != 1 || reply[3] > highestStatus) {
        return {row.failCode, std::nullopt};
    }
    return {row.type == kTypeCommand3 ? reply[3] : 0, std::nullopt};
}

TReplyVerdict CheckEchoReply(const TCommandRow& row, const std::uint8_t* frame,
                             const std::uint8_t* reply, std::uint8_t replyLength) {
    if (reply[1] != ReplyType(row) || reply[3] != 0 || !EchoMatches(frame, reply, replyLength)) {
        return {row.failCode, std::nullopt};
    }
    return {0, std::nullopt};
}

// The module type is taken once type and length are right, whatever follows.
TReplyVerdict CheckModuleTypeReply(const TCommandRow& row, const std::uint8_t* frame,
                                   const std::uint8_t* reply, std::uint8_t replyLength) {
    if (reply[1] != kTypeModuleTypeReply || reply[2] != 5) {
        return {row.failCode, std::nullopt};
    }
    const std::uint32_t moduleType = ReadBigEndian32(reply + 4);
    const bool good = reply[3] == 0 && EchoMatches(frame, reply, replyLength);
    return {good ? 0 : row.failCode, moduleType};
}

void Pause(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

std::string TZULDownloadProtocolClass::downloadFileName;
TRS232Class* TZULDownloadProtocolClass::downloadPort = nullptr;
std::atomic<std::int32_t> TZULDownloadProtocolClass::downloadStatus{0};
std::atomic<std::uint32_t> TZULDownloadProtocolClass::replyModuleType{0};

TZULDownloadProtocolClass::TZULDownloadProtocolClass(bool createSuspended) {
    downloadStatus.store(0, std::memory_order_relaxed);
    replyModuleType.store(0, std::memory_order_relaxed);
    if (!createSuspended) {
        Start();
    }
}

TZULDownloadProtocolClass::~TZULDownloadProtocolClass() {
    Terminate();
    WaitFor();
}

std::int32_t TZULDownloadProtocolClass::SetDownloadParameters(std::string fileName,
                                                              TRS232Class* port) {
    downloadFileName = std::move(fileName);
    downloadPort = port;
    return 1;
}

std::int32_t TZULDownloadProtocolClass::GetStatus() {
    return downloadStatus.load(std::memory_order_acquire);
}

std::uint32_t TZULDownloadProtocolClass::GetDeviceModuleType() {
    return replyModuleType.load(std::memory_order_relaxed);
}

std::uint32_t TZULDownloadProtocolClass::PublicationTicket() const {
    return publications.load(std::memory_order_acquire);
}

void TZULDownloadProtocolClass::AwaitPublication(std::uint32_t ticket) const {
    publications.wait(ticket, std::memory_order_acquire);
}

void TZULDownloadProtocolClass::Execute() {
    downloadStatus.store(0, std::memory_order_relaxed);
    const std::int32_t status = DownloadFile(downloadFileName, downloadPort);
    // Last write of the run: whoever sees it also sees progress and module type.
    downloadStatus.store(status, std::memory_order_release);
    publications.fetch_add(1, std::memory_order_release);
    publications.notify_all();
}

void TZULDownloadProtocolClass::PublishProgress(std::uint8_t value) {
    if (value == progress.load(std::memory_order_relaxed)) {
        return;
    }
    progress.store(value, std::memory_order_relaxed);
    publications.fetch_add(1, std::memory_order_release);
    publications.notify_all();
}

std::int32_t TZULDownloadProtocolClass::DownloadFile(const std::string& fileName,
                                                     TRS232Class* port) {
    progress.store(0, std::memory_order_relaxed);
    const std::time_t windowStart = TCalendarClock::Now();
    while (ConnectDevice(port) < 0) {
        if (std::difftime(TCalendarClock::Now(), windowStart) > kConnectWindowSeconds) {
            return -4;
        }
    }
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        return -3;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    return SendFrames(in, size > 0 ? static_cast<std::uint64_t>(size) : 0, port);
}

std::int32_t TZULDownloadProtocolClass::SendFrames(std::istream& in, std::uint64_t size,
                                                   TRS232Class* port) {
    char* frame = reinterpret_cast<char*>(frameBuffer.data());
    for (int c = in.get(); c != std::istream::traits_type::eof(); c = in.get()) {
        if (c != kFrameStart) {
            continue;
        }
        frameBuffer[0] = kFrameStart;
        // A frame cut short (the file changed since it was checked) is never sent.
        if (!in.read(frame + 1, 2) || !in.read(frame + 3, frameBuffer[kLengthOffset] + 2)) {
            return -3;
        }
        if (const std::int32_t result = SendCommand(port, frameBuffer.data()); result < 0) {
            return result;
        }
        const std::streamoff position = in.tellg();
        if (position >= 0 && size > 0) {
            const double percent = static_cast<double>(position) / static_cast<double>(size) * 100;
            PublishProgress(static_cast<std::uint8_t>(std::min(percent, 100.0)));
        }
    }
    return 1;
}

std::int32_t TZULDownloadProtocolClass::ConnectDevice(TRS232Class* port) {
    std::array<std::uint8_t, kConnectFrameSize> frame{};
    BuildConnectFrame(frame.data());
    return SendCommand(port, frame.data());
}

std::size_t TZULDownloadProtocolClass::BuildConnectFrame(std::uint8_t* buffer) {
    buffer[0] = kFrameStart;
    buffer[kTypeOffset] = kTypeConnect;
    buffer[kLengthOffset] = static_cast<std::uint8_t>(kConnectAccessCode.size());
    std::copy(kConnectAccessCode.begin(), kConnectAccessCode.end(), buffer + kPayloadOffset);
    buffer[kConnectFrameSize - 2] = FrameChecksum(buffer + kTypeOffset);
    buffer[kConnectFrameSize - 1] = kFrameEnd;
    return kConnectFrameSize;
}

const TCommandRow* TZULDownloadProtocolClass::FindCommand(std::uint8_t type) {
    const auto row = std::find_if(kCommandTable.begin(), kCommandTable.end(),
                                  [type](const TCommandRow& r) { return r.type == type; });
    return row == kCommandTable.end() ? nullptr : &*row;
}

std::optional<TExchangeLengths>
TZULDownloadProtocolClass::ExchangeLengths(const TCommandRow& row, const std::uint8_t* frame) {
    const std::uint8_t length = frame[kLengthOffset];
    // A frame too long for 8-bit lengths would go out truncated: refuse it.
    if (row.sends && length > (row.echoReply ? kMaxEchoedPayload : kMaxSentPayload)) {
        return std::nullopt;
    }
    const auto sendLength = static_cast<std::uint8_t>(row.sends ? length + kFrameOverhead : 0);
    const auto replyLength =
        static_cast<std::uint8_t>(row.echoReply ? sendLength + 1 : row.replyLength);
    return TExchangeLengths{sendLength, replyLength};
}

TReplyVerdict TZULDownloadProtocolClass::CheckReply(const TCommandRow& row,
                                                    const std::uint8_t* frame,
                                                    const std::uint8_t* reply,
                                                    std::uint8_t replyLength) {
    switch (row.type) {
    case kTypeConnect: {
        const bool good = replyLength == kConnectAcknowledge.size() &&
                          std::equal(kConnectAcknowledge.begin(), kConnectAcknowledge.end(), reply);
        return {good ? 1 : row.failCode, std::nullopt};
    }
    case kTypeEchoCommand9:
    case kTypeEchoCommand16:
        return CheckEchoReply(row, frame, reply, replyLength);
    case kTypeModuleType:
        return CheckModuleTypeReply(row, frame, reply, replyLength);
    default:
        return row.replyLength == 0 ? TReplyVerdict{1, std::nullopt} : CheckStatusReply(row, reply);
    }
}

std::int32_t TZULDownloadProtocolClass::SendCommand(TRS232Class* port, const std::uint8_t* frame) {
    const TCommandRow* row = FindCommand(frame[kTypeOffset]);
    if (row == nullptr) {
        return -14;
    }
    const std::optional<TExchangeLengths> lengths = ExchangeLengths(*row, frame);
    if (!lengths) {
        return -1;
    }
    const std::uint8_t replyLength = lengths->replyLength;
    std::int32_t result = -1;
    for (int attempt = 0; attempt < kAttempts && result < 0; ++attempt) {
        result = TransferFrame(port, replyBuffer.data(), frame, replyLength, lengths->sendLength,
                               row->timeoutMs);
        if (result < 0 || replyLength == 0) {
            continue;
        }
        const TReplyVerdict verdict = CheckReply(*row, frame, replyBuffer.data(), replyLength);
        if (verdict.moduleType) {
            replyModuleType.store(*verdict.moduleType, std::memory_order_relaxed);
        }
        result = verdict.result;
    }
    return result;
}

std::int32_t TZULDownloadProtocolClass::TransferFrame(TRS232Class* port, std::uint8_t* reply,
                                                      const std::uint8_t* frame,
                                                      std::uint8_t replyLength,
                                                      std::uint8_t sendLength,
                                                      std::uint32_t timeoutMs) {
    port->SetTimeouts(timeoutMs, timeoutMs); // a refused setting keeps the old ones
    if (port->WriteBlock(frame, sendLength) == -1 || port->ReadBlock(reply, replyLength) == -1) {
        return -1;
    }
    if (!ReplyIsWellFormed(reply, replyLength)) {
        Pause(kMalformedReplyPauseMs);
        port->FlushPort();
        return -1;
    }
    return 1;
}
