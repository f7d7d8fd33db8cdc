// The serial-port service on Windows: the communications API on a port
// opened for plain synchronous I/O. The OS keeps the total time-outs on the
// handle (COMMTIMEOUTS), so the per-call limits handed to Write and Read are
// not needed here.
#include <windows.h>

#include "serial/Serialport.h"

namespace {

// Ends any pending transfer and empties both of the OS's buffers.
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

HANDLE Win32Handle(serialport::Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The device-control block's fields that the line settings carry; every
// other field keeps what the OS reported.
void ApplySettings(const serialport::LineSettings& s, DCB& dcb) {
    dcb.BaudRate = s.baudRate;
    dcb.ByteSize = s.byteSize;
    dcb.Parity = s.parity;
    dcb.StopBits = s.stopBits;
    dcb.fBinary = s.binary;
    dcb.fParity = s.parityCheck;
    dcb.fOutxCtsFlow = s.outxCtsFlow;
    dcb.fOutxDsrFlow = s.outxDsrFlow;
    dcb.fDtrControl = s.dtrControl & 3u;
    dcb.fDsrSensitivity = s.dsrSensitivity;
    dcb.fOutX = s.outX;
    dcb.fInX = s.inX;
    dcb.fNull = s.discardNull;
    dcb.fRtsControl = s.rtsControl & 3u;
    dcb.fAbortOnError = s.abortOnError;
}

void ReadSettings(const DCB& dcb, serialport::LineSettings& s) {
    s.baudRate = dcb.BaudRate;
    s.byteSize = dcb.ByteSize;
    s.parity = dcb.Parity;
    s.stopBits = dcb.StopBits;
    s.binary = dcb.fBinary != 0;
    s.parityCheck = dcb.fParity != 0;
    s.outxCtsFlow = dcb.fOutxCtsFlow != 0;
    s.outxDsrFlow = dcb.fOutxDsrFlow != 0;
    s.dtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
    s.dsrSensitivity = dcb.fDsrSensitivity != 0;
    s.outX = dcb.fOutX != 0;
    s.inX = dcb.fInX != 0;
    s.discardNull = dcb.fNull != 0;
    s.rtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
    s.abortOnError = dcb.fAbortOnError != 0;
}

DCB CurrentBlock(HANDLE handle) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle, &dcb);
    return dcb;
}

} // namespace

namespace serialport {

std::string PortDeviceName(int portNumber) {
    return "\\\\.\\COM" + std::to_string(portNumber);
}

// Share mode 0: a port that another program holds is refused.
Handle Open(int portNumber) {
    const HANDLE handle =
        CreateFileA(PortDeviceName(portNumber).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    return reinterpret_cast<Handle>(handle);
}

// The line's error flags are cleared unread.
void ClearAndPurge(Handle handle) {
    DWORD errors = 0;
    ClearCommError(Win32Handle(handle), &errors, nullptr);
    PurgeComm(Win32Handle(handle), kPurgeAll);
}

bool GetLineSettings(Handle handle, LineSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(Win32Handle(handle), &dcb)) {
        return false;
    }
    ReadSettings(dcb, settings);
    return true;
}

// The flow-control limits and special characters stay as the OS has them.
bool SetLineSettings(Handle handle, const LineSettings& settings) {
    DCB dcb = CurrentBlock(Win32Handle(handle));
    ApplySettings(settings, dcb);
    return SetCommState(Win32Handle(handle), &dcb) != FALSE;
}

// Total limits for a whole block: no limit between bytes, none per byte.
bool SetTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = readMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = writeMs;
    return SetCommTimeouts(Win32Handle(handle), &timeouts) != FALSE;
}

// Only the reported count decides, whatever the call's own result.
std::uint32_t Write(Handle handle, const std::uint8_t* data, std::uint32_t count, std::uint32_t) {
    DWORD written = 0;
    WriteFile(Win32Handle(handle), data, count, &written, nullptr);
    return written;
}

// A time-out ends the call successfully with fewer bytes; a failed call is an I/O error.
bool Read(Handle handle, std::uint8_t* buffer, std::uint32_t count, std::uint32_t,
          std::uint32_t& got) {
    DWORD read = 0;
    const BOOL ok = ReadFile(Win32Handle(handle), buffer, count, &read, nullptr);
    got = read;
    return ok != FALSE;
}

void Close(Handle handle) {
    CloseHandle(Win32Handle(handle));
}

} // namespace serialport
