// Line settings through the kernel's termios2 interface, the only way to set
// an arbitrary bit rate such as 166666 bit/s exactly. Its header clashes with
// libc's <termios.h>, so it lives behind plain functions in a unit of its own.
#pragma once

#include "serial/Serialport.h"

namespace termios2io {

// Raw 8-bit line, no flow control, DTR and RTS as asked; false when refused.
bool SetLine(int fd, const serialport::LineSettings& settings);

// Fills baudRate, byteSize, parity and stopBits from the terminal.
bool GetLine(int fd, serialport::LineSettings& settings);

// Sets VMIN to `count` with VTIME 0, unless it is so already. Reads stay
// non-blocking; what changes is poll, which on Linux then reports input only
// once `count` bytes are there (or the line hung up).
bool SetReadMinimum(int fd, std::uint8_t count);

} // namespace termios2io
