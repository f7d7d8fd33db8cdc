#include "TtyPort.h"

// Not <termios.h>: the termios2 interface sets any bit rate and clashes with it.
#include <asm/termbits.h>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The line as the host sets its end: 166666 bit/s, 8 data bits, 2 stop
// bits, no parity; no echo, no canonical input, no translation, no flow
// control; CLOCAL, so that a missing carrier neither blocks nor hangs up.
bool SetRawLine(int fd) {
    termios2 line{};
    if (ioctl(fd, TCGETS2, &line) != 0) {
        return false;
    }
    line.c_iflag = 0;
    line.c_oflag = 0;
    line.c_lflag = 0;
    line.c_cflag = CS8 | CSTOPB | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    line.c_ispeed = 166666;
    line.c_ospeed = 166666;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &line) == 0;
}

bool TakeExclusiveUse(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        errno = EBUSY; // held by another program
        return false;
    }
    return ioctl(fd, TIOCEXCL) == 0;
}

} // namespace

bool TtyPort::Open(const std::string& portPath) {
    if (IsOpen()) {
        errno = EBUSY;
        return false;
    }
    fd = ::open(portPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    if (!TakeExclusiveUse(fd) || !SetRawLine(fd)) {
        const int cause = errno;
        Close();
        errno = cause;
        return false;
    }
    ioctl(fd, TCFLSH, TCIFLUSH); // nothing from before we served
    path = portPath;
    return true;
}

void TtyPort::Close() {
    if (fd >= 0) {
        ioctl(fd, TCFLSH, TCOFLUSH);
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        fd = -1;
    }
}
