// The one serial (COM) port of a run: open by number, fixed line settings,
// total time-outs, whole-block transfers. Knows nothing of frames.
#pragma once

#include <cstdint>

#include "serial/Serialport.h"

class TRS232Class {
  public:
    TRS232Class() = default;

    // 1 = opened; 0 = refused (the handle then holds the invalid value).
    int OpenPort(int portNumber);
    // Non-zero = settings accepted; 0 = refused.
    int ConfigurePort(std::uint32_t baudRate, std::uint8_t dataBits, std::uint8_t parity,
                      std::uint8_t stopBits);
    // Non-zero = accepted; 0 = refused.
    int SetTimeouts(std::uint32_t readMs, std::uint32_t writeMs);
    // 1 = all `count` bytes written; -1 otherwise.
    int WriteBlock(const std::uint8_t* data, int count);
    // 1 = exactly `count` bytes read; -1 otherwise.
    int ReadBlock(std::uint8_t* buffer, int count);
    // The byte read, 0 to 255; or -1.
    int ReadByte();
    // 1 after purging and draining to one read time-out of silence;
    // 0 when the port never opened.
    int FlushPort();
    void ClosePort();

    serialport::Handle PortHandle() const { return portHandle; }
    std::uint32_t BytesWritten() const { return bytesWritten; }
    std::uint32_t BytesRead() const { return bytesRead; }
    bool IsOpen() const { return openFlag != 0; }
    const serialport::LineSettings& LineSettings() const { return deviceControlBlock; }

  private:
    serialport::LineSettings deviceControlBlock{};
    serialport::Handle portHandle = 0;
    std::uint32_t bytesWritten = 0;
    std::uint32_t bytesRead = 0;
    std::int32_t openFlag = 0;
    // Mirror of the total time-outs, handed to each transfer.
    std::uint32_t readTimeoutMs = 0;
    std::uint32_t writeTimeoutMs = 0;
};
