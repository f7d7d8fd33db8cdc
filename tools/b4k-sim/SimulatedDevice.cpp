#include "SimulatedDevice.h"

#include <algorithm>

#include "DeviceProtocol.h"

namespace {

using namespace device;
using Bytes = std::vector<std::uint8_t>;

// The frame is read whole by its length byte; only now are its checksum and
// end byte looked at.
bool IsValidFrame(const Bytes& frame) {
    const std::size_t n = frame.size();
    return frame[n - 1] == kEnd && frame[n - 2] == Checksum(frame);
}

bool IsConnectFrame(const Bytes& frame) {
    return frame[kType] == kConnect && frame[kLength] == kAccessCode.size() &&
           std::equal(kAccessCode.begin(), kAccessCode.end(), frame.begin() + kPayload);
}

Bytes MakeReply(std::uint8_t type, const Bytes& payload) {
    // Sized once: growing a short vector trips false bounds warnings in g++ 12 at -O3.
    Bytes reply(payload.size() + kOverhead);
    reply[0] = kStart;
    reply[kType] = type;
    reply[kLength] = static_cast<std::uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), reply.begin() + kPayload);
    reply[reply.size() - 2] = Checksum(reply);
    reply.back() = kEnd;
    return reply;
}

Bytes BigEndian32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

bool EndsWithWakeUp(const Bytes& bytes) {
    return bytes.size() >= kWakeUpString.size() &&
           std::equal(kWakeUpString.begin(), kWakeUpString.end(),
                      bytes.end() - static_cast<std::ptrdiff_t>(kWakeUpString.size()));
}

// Any change will do; flipping every bit can never give the right value back.
void SpoilChecksum(Bytes& reply) {
    reply[reply.size() - 2] ^= 0xFF;
}

} // namespace

SimulatedDevice::SimulatedDevice(const DeviceConfig& deviceConfig) : config(deviceConfig) {}

bool SimulatedDevice::Receive(std::uint8_t byte, double ms, std::vector<CapturedItem>& captured,
                              std::vector<std::uint8_t>& reply) {
    if (hungUp) {
        return false;
    }
    replyDelayMs = config.replyDelayMs;
    if (frame.empty()) {
        TakeOutsideFrame(byte, ms, captured, reply);
    } else {
        TakeFrameByte(byte, ms, captured, reply);
    }
    return !hungUp;
}

void SimulatedDevice::FlushStray(std::vector<CapturedItem>& captured) {
    if (!stray.empty()) {
        captured.push_back({strayTimes.back(), CaptureKind::Stray, stray});
        stray.clear();
        strayTimes.clear();
    }
}

void SimulatedDevice::TakeOutsideFrame(std::uint8_t byte, double ms,
                                       std::vector<CapturedItem>& captured,
                                       std::vector<std::uint8_t>& reply) {
    if (byte == kStart) {
        FlushStray(captured);
        frame.push_back(byte);
        return;
    }
    stray.push_back(byte);
    strayTimes.push_back(ms);
    if (!EndsWithWakeUp(stray)) {
        return;
    }
    // What came before the wake-up is an item of its own, ending with the
    // byte in front of it.
    const auto wakeUpLength = static_cast<std::ptrdiff_t>(kWakeUpString.size());
    stray.erase(stray.end() - wakeUpLength, stray.end());
    strayTimes.erase(strayTimes.end() - wakeUpLength, strayTimes.end());
    FlushStray(captured);
    captured.push_back(
        {ms, CaptureKind::WakeUp, Bytes(kWakeUpString.begin(), kWakeUpString.end())});
    if (!config.silent) {
        reply.push_back(kWakeUpAnswer);
    }
}

bool SimulatedDevice::FrameIsComplete() const {
    return frame.size() > kLength && frame.size() == frame[kLength] + kOverhead;
}

void SimulatedDevice::TakeFrameByte(std::uint8_t byte, double ms,
                                    std::vector<CapturedItem>& captured,
                                    std::vector<std::uint8_t>& reply) {
    frame.push_back(byte);
    if (!FrameIsComplete()) {
        return;
    }
    ++framesReceived;
    captured.push_back({ms, CaptureKind::Frame, frame});
    if (config.hangupAfterFrames > 0 && framesReceived >= config.hangupAfterFrames) {
        hungUp = true;
    } else if (IsValidFrame(frame)) {
        Answer(reply);
    }
    frame.clear();
}

void SimulatedDevice::Answer(std::vector<std::uint8_t>& reply) {
    if (config.silent) {
        return;
    }
    Bytes answer = BuildReply();
    if (answer.empty()) {
        return;
    }
    const std::uint8_t type = frame[kType];
    if (type == kConnect && ++connectsReceived <= config.ignoreConnects) {
        return;
    }
    ++repliesSent;
    const bool inRange =
        config.corruptReplyNumber > 0 && repliesSent >= config.corruptReplyNumber &&
        repliesSent <= std::max(config.corruptReplyNumber, config.corruptReplyLast);
    if (inRange || type == config.corruptType) {
        SpoilChecksum(answer);
    }
    reply.insert(reply.end(), answer.begin(), answer.end());
    if (repliesSent == config.garbageAfterReply) {
        reply.insert(reply.end(), kGarbage.begin(), kGarbage.end());
    }
    replyDelayMs += config.typeDelayMs[type];
}

// The reply the command table asks for, with a right checksum; empty when
// the type has none.
std::vector<std::uint8_t> SimulatedDevice::BuildReply() {
    const std::uint8_t type = frame[kType];
    const std::uint8_t status = config.replyStatus[type];
    const auto replyType = static_cast<std::uint8_t>(type + 1);
    Bytes payload{status};
    switch (type) {
    case kConnect:
        return IsConnectFrame(frame) ? Bytes(kAcknowledge.begin(), kAcknowledge.end()) : Bytes{};
    case kEcho9:
    case kEcho16:
        // The echo plus the status byte must fit an 8-bit length.
        if (frame[kLength] == 0xFF) {
            return {};
        }
        payload.insert(payload.end(), frame.begin() + kPayload, frame.end() - 2);
        break;
    case kModuleType: {
        const Bytes moduleType = BigEndian32(config.moduleType);
        payload.insert(payload.end(), moduleType.begin(), moduleType.end());
        break;
    }
    default:
        if (std::find(kStatusOnly.begin(), kStatusOnly.end(), type) != kStatusOnly.end()) {
            return MakeReply(replyType, payload);
        }
        return {};
    }
    if (type == config.wrongEchoType && payload.size() > 1) {
        payload[1] ^= 0xFF;
    }
    return MakeReply(replyType, payload);
}
