#include "PseudoTerminal.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

bool PseudoTerminal::Open() {
    if (IsOpen()) {
        return false;
    }
    if (!OpenMaster() || !OpenSlave()) {
        Close();
        return false;
    }
    WatchSlave();
    return true;
}

bool PseudoTerminal::OpenMaster() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        return false;
    }
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) {
        return false;
    }
    slavePath = name;
    return true;
}

bool PseudoTerminal::OpenSlave() {
    slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        return false;
    }
    termios settings{};
    if (tcgetattr(slave, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    struct stat status {};
    if (tcsetattr(slave, TCSANOW, &settings) != 0 || fstat(slave, &status) != 0) {
        return false;
    }
    slaveDevice = status.st_rdev;
    return true;
}

// Our own open came before the watch, so every notice is the host's.
void PseudoTerminal::WatchSlave() {
    watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0 && inotify_add_watch(watch, slavePath.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        CloseFd(watch);
    }
    hostDescriptors = 0;
}

void PseudoTerminal::TakeWatchEvents() {
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = ::read(watch, buffer, sizeof buffer)) > 0) {
        for (const char* p = buffer; p < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(p);
            if ((event->mask & IN_OPEN) != 0) {
                ++hostDescriptors;
            }
            if ((event->mask & IN_CLOSE) != 0) {
                --hostDescriptors;
            }
            // Notices were lost: better to end exclusive mode early than to
            // lock the host out.
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                hostDescriptors = 0;
            }
            p += sizeof(inotify_event) + event->len;
        }
    }
    if (hostDescriptors <= 0 && slave >= 0) {
        hostDescriptors = 0;
        ioctl(slave, TIOCNXCL);
    }
}

void PseudoTerminal::Close() {
    CloseFd(watch);
    CloseFd(master);
    CloseFd(slave);
}
