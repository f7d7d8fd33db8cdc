// One download on a worker thread: connect, then send the frames of a
// firmware file one by one, each answered by the device, publishing a
// progress percentage and finally a status.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "firmware/Frame.h"
#include "runtime/Thread.h"
#include "serial/Rs232class.h"

// How one command type is answered.
struct TCommandRow {
    std::uint8_t type;
    std::uint8_t replyLength; // fixed reply size; echo rows add the send length
    bool echoReply;           // reply length is send length + 1
    bool sends;               // false: nothing goes on the wire (records 20, 22)
    std::uint32_t timeoutMs;
    std::int32_t failCode; // when a well-formed reply fails its check
};

// What one exchange of a frame puts on the wire and reads back.
struct TExchangeLengths {
    std::uint8_t sendLength;
    std::uint8_t replyLength;
};

// The verdict on one well-formed reply.
struct TReplyVerdict {
    std::int32_t result;                     // >= 0 good; else the row's code
    std::optional<std::uint32_t> moduleType; // carried by a module type reply
};

class TZULDownloadProtocolClass : public TThread {
  public:
    explicit TZULDownloadProtocolClass(bool createSuspended);
    ~TZULDownloadProtocolClass() override;

    static std::int32_t SetDownloadParameters(std::string fileName, TRS232Class* port);
    static std::int32_t GetStatus();
    std::uint8_t GetProgress() const { return progress.load(std::memory_order_relaxed); }
    static std::uint32_t GetDeviceModuleType();

    // Waiting for news without spinning: take a ticket, read status and
    // progress, then await the ticket; it returns at once when the worker
    // published anything after the ticket was taken.
    std::uint32_t PublicationTicket() const;
    void AwaitPublication(std::uint32_t ticket) const;

    std::int32_t DownloadFile(const std::string& fileName, TRS232Class* port);
    std::int32_t ConnectDevice(TRS232Class* port);
    static std::size_t BuildConnectFrame(std::uint8_t* buffer);

    // One command frame and its reply, with up to three attempts.
    std::int32_t SendCommand(TRS232Class* port, const std::uint8_t* frame);
    // One attempt: 1 when sent and a well-formed reply (if any) arrived; else -1.
    std::int32_t TransferFrame(TRS232Class* port, std::uint8_t* reply, const std::uint8_t* frame,
                               std::uint8_t replyLength, std::uint8_t sendLength,
                               std::uint32_t timeoutMs);

    // The command table row of a type, or nullptr when the type is unknown.
    static const TCommandRow* FindCommand(std::uint8_t type);
    // The lengths of an exchange of `frame` by its row; empty when the frame
    // is too long to go out whole.
    static std::optional<TExchangeLengths> ExchangeLengths(const TCommandRow& row,
                                                           const std::uint8_t* frame);
    // The check of a well-formed reply to `frame` by the row of its type.
    static TReplyVerdict CheckReply(const TCommandRow& row, const std::uint8_t* frame,
                                    const std::uint8_t* reply, std::uint8_t replyLength);

  protected:
    void Execute() override;

  private:
    void PublishProgress(std::uint8_t value);
    std::int32_t SendFrames(std::istream& in, std::uint64_t size, TRS232Class* port);

    static std::string downloadFileName;
    static TRS232Class* downloadPort;
    static std::atomic<std::int32_t> downloadStatus;
    static std::atomic<std::uint32_t> replyModuleType;

    std::atomic<std::uint8_t> progress{0};
    std::atomic<std::uint32_t> publications{0};
    std::array<std::uint8_t, kMaxFrameSize> frameBuffer{};
    std::array<std::uint8_t, 256> replyBuffer{};
};
