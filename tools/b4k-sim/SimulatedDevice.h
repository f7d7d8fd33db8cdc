// The B4K device as a pure protocol responder: bytes in, captured items and
// reply bytes out. No I/O and no clock; the caller stamps every byte with its
// arrival time and decides when the reply bytes go out (B4kSimulator holds
// them back by ReplyDelayMs() and paces them at the configured rate).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

// The string the tool sends to wake the device; answered with kWakeUpAnswer.
inline constexpr std::string_view kWakeUpString = "Hq3vT8mWe";
inline constexpr std::uint8_t kWakeUpAnswer = 0x06;
// What a noisy line adds after a reply (garbageAfterReply); never a frame start.
inline constexpr std::array<std::uint8_t, 3> kGarbage = {0x00, 0xFF, 0xA5};

struct DeviceConfig {
    std::uint32_t moduleType = 2;                // answered to type 18, big-endian
    std::array<std::uint8_t, 256> replyStatus{}; // status byte of the reply to each command type
    bool silent = false;                         // answers nothing at all, not even the wake-up
    int ignoreConnects = 0;                      // the first K connect frames get no reply
    int corruptReplyNumber = 0; // the Kth reply (1-based, wake-up answer not counted) gets a
                                // wrong checksum; 0 = none
    int corruptReplyLast = 0;   // and so do the replies after it up to this one; 0 = none
    int corruptType = 0;        // every reply to this command type gets a wrong checksum; 0 = none
    int wrongEchoType = 0;      // 9, 16 or 18: the first echoed payload byte is changed
    std::uint32_t replyDelayMs = 0; // each reply (wake-up answer included) is held back this long
    std::array<std::uint32_t, 256> typeDelayMs{}; // replies to each command type: this much longer
    int garbageAfterReply = 0; // kGarbage follows the Kth reply (counted as above); 0 = none
    std::uint32_t baud = 0;    // 0 = unpaced; else each byte takes 11 bits at this rate, both ways
    int hangupAfterFrames = 0; // the device vanishes on receiving the Nth frame, which it does
                               // not answer; 0 = never
};

enum class CaptureKind { WakeUp, Frame, Stray };

// One thing the device received: the wake-up string, a whole frame (valid or
// not), or a run of bytes that were neither.
struct CapturedItem {
    double ms; // arrival of the item's last byte, in ms since the simulator started
    CaptureKind kind;
    std::vector<std::uint8_t> bytes;
};

class SimulatedDevice {
  public:
    explicit SimulatedDevice(const DeviceConfig& config);

    // Takes one received byte that arrived at `ms`. Appends to `captured` the
    // items that it completes and to `reply` the bytes due in answer, in the
    // order they are to be sent. Returns false once the device has hung up
    // (from the frame that triggers it on; later bytes are ignored).
    bool Receive(std::uint8_t byte, double ms, std::vector<CapturedItem>& captured,
                 std::vector<std::uint8_t>& reply);

    // Closes a pending run of stray bytes as one item: the line has gone quiet
    // or the session ends. A frame in progress is left alone.
    void FlushStray(std::vector<CapturedItem>& captured);
    bool StrayPending() const { return !stray.empty(); }

    int FramesReceived() const { return framesReceived; }
    int RepliesSent() const { return repliesSent; } // wake-up answers not counted
    // How long the reply bytes of the last Receive call are to be held back.
    std::uint32_t ReplyDelayMs() const { return replyDelayMs; }
    bool HungUp() const { return hungUp; }
    const DeviceConfig& Config() const { return config; }

  private:
    void TakeOutsideFrame(std::uint8_t byte, double ms, std::vector<CapturedItem>& captured,
                          std::vector<std::uint8_t>& reply);
    void TakeFrameByte(std::uint8_t byte, double ms, std::vector<CapturedItem>& captured,
                       std::vector<std::uint8_t>& reply);
    void Answer(std::vector<std::uint8_t>& reply);
    std::vector<std::uint8_t> BuildReply();
    bool FrameIsComplete() const;

    DeviceConfig config;
    std::vector<std::uint8_t> frame; // the frame being received; empty outside one
    std::vector<std::uint8_t> stray; // stray bytes not yet closed into an item
    std::vector<double> strayTimes;  // arrival of each of them
    int framesReceived = 0;
    int connectsReceived = 0;
    int repliesSent = 0;
    std::uint32_t replyDelayMs = 0;
    bool hungUp = false;
};
