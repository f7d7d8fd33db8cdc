#include "serial/Termios2_linux.h"

// Must not meet <termios.h>: both define struct termios.
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace {

using serialport::LineSettings;

bool SettingsSupported(const LineSettings& s) {
    // No Linux counterpart exists for these; refusing beats silently ignoring.
    const bool unsupported =
        !s.binary || s.outxDsrFlow || s.dsrSensitivity || s.discardNull || s.abortOnError;
    const bool linesOk =
        s.dtrControl <= serialport::kLineEnable && s.rtsControl <= serialport::kLineEnable;
    return !unsupported && linesOk && s.baudRate != 0 && s.byteSize >= 5 && s.byteSize <= 8;
}

bool ParityBits(std::uint8_t parity, tcflag_t& bits) {
    switch (parity) {
    case serialport::kNoParity:
        bits = 0;
        return true;
    case serialport::kOddParity:
        bits = PARENB | PARODD;
        return true;
    case serialport::kEvenParity:
        bits = PARENB;
        return true;
    case serialport::kMarkParity:
        bits = PARENB | PARODD | CMSPAR;
        return true;
    case serialport::kSpaceParity:
        bits = PARENB | CMSPAR;
        return true;
    default:
        return false;
    }
}

bool StopBits(std::uint8_t stopBits, tcflag_t& bits) {
    // One and a half stop bits cannot be asked for through termios.
    switch (stopBits) {
    case serialport::kOneStopBit:
        bits = 0;
        return true;
    case serialport::kTwoStopBits:
        bits = CSTOPB;
        return true;
    default:
        return false;
    }
}

tcflag_t SizeBits(std::uint8_t byteSize) {
    switch (byteSize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

// Every byte passes unchanged in both directions; no signals, no echo.
void MakeRaw(termios2& tio, const LineSettings& s) {
    tio.c_iflag &= ~tcflag_t{IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                             IXOFF | IXANY | INPCK | IUCLC | IMAXBEL};
    tio.c_iflag |= (s.parityCheck ? INPCK : 0u) | (s.outX ? IXON : 0u) | (s.inX ? IXOFF : 0u);
    tio.c_oflag &= ~tcflag_t{OPOST};
    tio.c_lflag &= ~tcflag_t{ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN};
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

void SetControlBits(termios2& tio, const LineSettings& s, tcflag_t parity, tcflag_t stop) {
    tio.c_cflag &=
        ~tcflag_t{CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CBAUD | (CBAUD << IBSHIFT)};
    tio.c_cflag |= SizeBits(s.byteSize) | stop | parity | CLOCAL | CREAD;
    tio.c_cflag |= s.outxCtsFlow ? CRTSCTS : 0u;
    // BOTHER takes the rate from the speed fields as given, not from a table.
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = s.baudRate;
    tio.c_ospeed = s.baudRate;
}

bool ModemLine(int fd, unsigned long request, int bits) {
    if (bits == 0 || ioctl(fd, request, &bits) == 0) {
        return true;
    }
    // A device without modem lines (a pseudo-terminal) has nothing to hold off.
    return errno == ENOTTY || errno == EINVAL;
}

bool SetModemLines(int fd, const LineSettings& s) {
    const bool dtrOn = s.dtrControl == serialport::kLineEnable;
    const bool rtsOn = s.rtsControl == serialport::kLineEnable;
    const int raise = (dtrOn ? TIOCM_DTR : 0) | (rtsOn ? TIOCM_RTS : 0);
    const int drop = (dtrOn ? 0 : TIOCM_DTR) | (rtsOn ? 0 : TIOCM_RTS);
    return ModemLine(fd, TIOCMBIC, drop) && ModemLine(fd, TIOCMBIS, raise);
}

std::uint8_t ParityCode(tcflag_t cflag) {
    if ((cflag & PARENB) == 0) {
        return serialport::kNoParity;
    }
    const bool odd = (cflag & PARODD) != 0;
    if ((cflag & CMSPAR) != 0) {
        return odd ? serialport::kMarkParity : serialport::kSpaceParity;
    }
    return odd ? serialport::kOddParity : serialport::kEvenParity;
}

std::uint8_t ByteSize(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

} // namespace

namespace termios2io {

bool SetLine(int fd, const LineSettings& settings) {
    tcflag_t parity = 0;
    tcflag_t stop = 0;
    if (!SettingsSupported(settings) || !ParityBits(settings.parity, parity) ||
        !StopBits(settings.stopBits, stop)) {
        return false;
    }
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    MakeRaw(tio, settings);
    SetControlBits(tio, settings, parity, stop);
    return ioctl(fd, TCSETS2, &tio) == 0 && SetModemLines(fd, settings);
}

bool GetLine(int fd, LineSettings& settings) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    settings.baudRate = tio.c_ospeed;
    settings.byteSize = ByteSize(tio.c_cflag);
    settings.parity = ParityCode(tio.c_cflag);
    settings.stopBits =
        (tio.c_cflag & CSTOPB) != 0 ? serialport::kTwoStopBits : serialport::kOneStopBit;
    return true;
}

bool SetReadMinimum(int fd, std::uint8_t count) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    if (tio.c_cc[VMIN] == count && tio.c_cc[VTIME] == 0) {
        return true;
    }
    tio.c_cc[VMIN] = count;
    tio.c_cc[VTIME] = 0;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

} // namespace termios2io
