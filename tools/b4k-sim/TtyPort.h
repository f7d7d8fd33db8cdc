// An existing serial port that the simulator serves instead of a
// pseudo-terminal of its own: a USB gadget's port (/dev/ttyGS0) or the far
// end of a null-modem cable. The port and its sysfs entries are real.
#pragma once

#include <string>

class TtyPort {
  public:
    TtyPort() = default;
    ~TtyPort() { Close(); }
    TtyPort(const TtyPort&) = delete;
    TtyPort& operator=(const TtyPort&) = delete;

    // Opens `portPath` non-blocking for exclusive use (flock and TIOCEXCL)
    // and sets the line raw, 8 data bits, 2 stop bits at 166666 bit/s,
    // ignoring the modem lines. False, errno telling why, on failure.
    bool Open(const std::string& portPath);
    // Drops what the host has not taken and ends the exclusive use.
    void Close();
    bool IsOpen() const { return fd >= 0; }

    int Fd() const { return fd; }
    const std::string& Path() const { return path; }

  private:
    int fd = -1;
    std::string path;
};
