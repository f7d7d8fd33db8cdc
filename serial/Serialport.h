// The operating system's serial-port service, as TRS232Class needs it.
// One implementation per OS (Serialport_posix.cpp, Serialport_win32.cpp);
// nothing above this header knows which one is built.
#pragma once

#include <cstdint>
#include <string>

namespace serialport {

// An OS handle widened to pointer size: a file descriptor on POSIX,
// a HANDLE on Windows.
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Parity and stop-bit codes as the line settings carry them.
enum Parity : std::uint8_t {
    kNoParity = 0,
    kOddParity = 1,
    kEvenParity = 2,
    kMarkParity = 3,
    kSpaceParity = 4
};
enum StopBits : std::uint8_t { kOneStopBit = 0, kOneAndHalfStopBits = 1, kTwoStopBits = 2 };
enum LineControl : std::uint8_t { kLineDisable = 0, kLineEnable = 1 };

// The line settings the port is configured from (the device-control block).
struct LineSettings {
    std::uint32_t baudRate = 0;
    std::uint8_t byteSize = 8;
    std::uint8_t parity = kNoParity;
    std::uint8_t stopBits = kOneStopBit;
    bool binary = true;
    bool parityCheck = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    std::uint8_t dtrControl = kLineDisable;
    bool dsrSensitivity = false;
    bool outX = false;
    bool inX = false;
    bool discardNull = false;
    std::uint8_t rtsControl = kLineDisable;
    bool abortOnError = false;
};

// The device node (or Win32 device name) of COM n. COM0 names nothing.
std::string PortDeviceName(int portNumber);

// Opens COM n for exclusive read/write use; kInvalidHandle when refused.
Handle Open(int portNumber);

// Clears the line's error state and discards both directions' buffers.
void ClearAndPurge(Handle handle);

// Reads the current line settings into `settings`; false when refused.
bool GetLineSettings(Handle handle, LineSettings& settings);

// Applies `settings`; false when the OS refuses them.
bool SetLineSettings(Handle handle, const LineSettings& settings);

// Total time-outs for one whole transfer; a read time-out of 0 waits
// without limit. Where the OS keeps time-outs itself (Windows) they are set
// here and the per-call values below are ignored.
bool SetTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs);

// Writes up to `count` bytes within `writeMs`; returns the count written.
std::uint32_t Write(Handle handle, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t writeMs);

// Reads until `count` bytes have arrived or `readMs` has passed. `got`
// receives the count read; the result is false on an I/O error (a device
// that vanished), true otherwise (a time-out is not an error here).
bool Read(Handle handle, std::uint8_t* buffer, std::uint32_t count, std::uint32_t readMs,
          std::uint32_t& got);

void Close(Handle handle);

} // namespace serialport
