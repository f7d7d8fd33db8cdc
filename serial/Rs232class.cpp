#include "serial/Rs232class.h"

// Only an open port reaches the OS. The handle of a port that never opened
// (0) or was closed (stale) may name another file by now — on POSIX fd 0 is
// standard input and closed descriptors are reused — so those calls fail
// here with the results the OS gives for a handle that is not a port.

int TRS232Class::OpenPort(int portNumber) {
    portHandle = serialport::Open(portNumber);
    if (portHandle == serialport::kInvalidHandle) {
        return 0;
    }
    serialport::ClearAndPurge(portHandle);
    openFlag = 1;
    return 1;
}

int TRS232Class::ConfigurePort(std::uint32_t baudRate, std::uint8_t dataBits, std::uint8_t parity,
                               std::uint8_t stopBits) {
    if (IsOpen()) {
        // Fields not set below keep what the OS had; a failed read leaves them as they were.
        serialport::GetLineSettings(portHandle, deviceControlBlock);
    }
    serialport::LineSettings& block = deviceControlBlock;
    block.baudRate = baudRate;
    block.byteSize = dataBits;
    block.parity = parity;
    block.stopBits = stopBits;
    block.binary = true;
    block.parityCheck = true;
    block.outxCtsFlow = false;
    block.outxDsrFlow = false;
    block.dtrControl = serialport::kLineDisable;
    block.dsrSensitivity = false;
    block.outX = false;
    block.inX = false;
    block.discardNull = false;
    block.rtsControl = serialport::kLineDisable;
    block.abortOnError = false;
    return IsOpen() && serialport::SetLineSettings(portHandle, block) ? 1 : 0;
}

int TRS232Class::SetTimeouts(std::uint32_t readMs, std::uint32_t writeMs) {
    readTimeoutMs = readMs;
    writeTimeoutMs = writeMs;
    return IsOpen() && serialport::SetTimeouts(portHandle, readMs, writeMs) ? 1 : 0;
}

int TRS232Class::WriteBlock(const std::uint8_t* data, int count) {
    bytesWritten = 0;
    if (count < 0 || (count > 0 && (data == nullptr || !IsOpen()))) {
        return -1;
    }
    if (count > 0) {
        const auto wanted = static_cast<std::uint32_t>(count);
        bytesWritten = serialport::Write(portHandle, data, wanted, writeTimeoutMs);
    }
    return bytesWritten == static_cast<std::uint32_t>(count) ? 1 : -1;
}

int TRS232Class::ReadBlock(std::uint8_t* buffer, int count) {
    bytesRead = 0;
    if (count < 0 || !IsOpen() || (count > 0 && buffer == nullptr)) {
        return -1;
    }
    if (count == 0) {
        return 1;
    }
    const auto wanted = static_cast<std::uint32_t>(count);
    const bool ok = serialport::Read(portHandle, buffer, wanted, readTimeoutMs, bytesRead);
    return ok && bytesRead == wanted ? 1 : -1;
}

int TRS232Class::ReadByte() {
    std::uint8_t byte = 0;
    return ReadBlock(&byte, 1) == 1 ? byte : -1;
}

int TRS232Class::FlushPort() {
    if (portHandle == serialport::kInvalidHandle) {
        return 0;
    }
    if (IsOpen()) {
        serialport::ClearAndPurge(portHandle);
    }
    // Ends at the first read time-out of silence: bytes still arriving are drained too.
    while (ReadByte() != -1) {
    }
    return 1;
}

void TRS232Class::ClosePort() {
    if (openFlag != 0) {
        serialport::Close(portHandle);
        openFlag = 0;
    }
}
