// Prints the line settings and modem lines of the USB serial port that
// another process holds, read through that process's own descriptor
// (borrowed with pidfd_getfd): opening the port a second time would itself
// raise DTR and RTS. Built statically for the kernel test's guest only.
//   line-state PID
#include <asm/termbits.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

int HeldPortFd(const std::string& pid) {
    std::error_code failure;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd", failure)) {
        if (std::filesystem::read_symlink(entry, failure).string().starts_with("/dev/ttyACM")) {
            return std::stoi(entry.path().filename().string());
        }
    }
    return -1;
}

int Bit(tcflag_t flags, tcflag_t mask) {
    return (flags & mask) != 0 ? 1 : 0;
}

// Raw as cfmakeraw() leaves a line: no input or output processing, no echo,
// no canonical input, no signal characters.
int Raw(const termios2& t) {
    const int cooked =
        Bit(t.c_iflag, IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON) +
        Bit(t.c_oflag, OPOST) + Bit(t.c_lflag, ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    return cooked == 0 ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const int target = HeldPortFd(argv[1]);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, std::atoi(argv[1]), 0));
    const int fd = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, target, 0));
    termios2 t{};
    int lines = 0;
    if (target < 0 || pidfd < 0 || fd < 0 || ioctl(fd, TCGETS2, &t) != 0 ||
        ioctl(fd, TIOCMGET, &lines) != 0) {
        std::perror("line-state");
        return 1;
    }
    const int bits = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : 5;
    std::printf("ispeed %u ospeed %u bits %d cstopb %d parenb %d crtscts %d ixon %d ixoff %d "
                "raw %d dtr %d rts %d\n",
                t.c_ispeed, t.c_ospeed, bits, Bit(t.c_cflag, CSTOPB), Bit(t.c_cflag, PARENB),
                Bit(t.c_cflag, CRTSCTS), Bit(t.c_iflag, IXON), Bit(t.c_iflag, IXOFF), Raw(t),
                Bit(lines, TIOCM_DTR), Bit(lines, TIOCM_RTS));
    return 0;
}
