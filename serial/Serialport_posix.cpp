// The serial-port service on POSIX terminals. Descriptors are non-blocking
// so that opening a tty never waits for carrier; every transfer waits in poll
// against a deadline instead, so callers still see blocking transfers. A read
// sets VMIN to the bytes it still awaits before it waits: poll on a Linux tty
// then wakes once per reply instead of once per byte as it trickles in.
// A write is done once the device has taken the bytes, not when the driver
// has queued them, and a close never waits for a device that takes nothing.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "serial/Blockinglimit_linux.h"
#include "serial/Serialport.h"
#include "serial/Termios2_linux.h"

namespace {

using Clock = std::chrono::steady_clock;

// A transfer's time limit; 0 ms means none.
class Deadline {
  public:
    explicit Deadline(std::uint32_t limitMs)
        : unlimited(limitMs == 0), end(Clock::now() + std::chrono::milliseconds(limitMs)) {}

    // The wait to hand to poll: -1 for none, rounded up so poll never wakes early.
    int PollTimeout() const {
        if (unlimited) {
            return -1;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
    }
    bool Passed() const { return !unlimited && Clock::now() >= end; }
    bool Unlimited() const { return unlimited; }
    Clock::duration Left() const { return std::max(end - Clock::now(), Clock::duration::zero()); }

  private:
    bool unlimited;
    Clock::time_point end;
};

enum class Wait { Ready, TimedOut, Failed };

// Ready also when the line hung up or failed: the next read or write tells which.
Wait WaitFor(int fd, short events, const Deadline& deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, deadline.PollTimeout());
        if (ready > 0) {
            return (entry.revents & POLLNVAL) != 0 ? Wait::Failed : Wait::Ready;
        }
        if (ready == 0 && deadline.Passed()) {
            return Wait::TimedOut;
        }
        // A signal (EINTR) or a wait longer than poll takes at once: wait on.
        if (ready < 0 && errno != EINTR) {
            return Wait::Failed;
        }
    }
}

enum class Outcome { Done, TimedOut, Failed };

// Moves `count` bytes with `step(offset, size)` (a read or write call),
// waiting for `events` between steps, each wait announced to
// `beforeWait(bytes still to move)`. A step that makes no progress right
// after poll reported the descriptor ready means end of file or hang-up;
// ending there is what keeps a hung-up line from spinning.
template <typename Step, typename BeforeWait>
Outcome Transfer(int fd, short events, std::uint32_t count, const Deadline& deadline,
                 std::uint32_t& done, Step step, BeforeWait beforeWait) {
    bool pollSaidReady = false;
    done = 0;
    while (done < count) {
        const ssize_t moved = step(done, count - done);
        if (moved > 0) {
            done += static_cast<std::uint32_t>(moved);
            pollSaidReady = false;
            continue;
        }
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if ((moved < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || pollSaidReady) {
            return Outcome::Failed; // EIO, ENXIO, EPIPE: the device went away
        }
        beforeWait(count - done);
        const Wait wait = WaitFor(fd, events, deadline);
        if (wait != Wait::Ready) {
            return wait == Wait::TimedOut ? Outcome::TimedOut : Outcome::Failed;
        }
        pollSaidReady = true;
    }
    return Outcome::Done;
}

// Bytes fewer than the awaited minimum never woke the wait; at its time-out
// they are taken all the same. False on an I/O error.
template <typename Step> bool TakeArrived(std::uint32_t& done, std::uint32_t count, Step step) {
    while (done < count) {
        const ssize_t moved = step(done, count - done);
        if (moved > 0) {
            done += static_cast<std::uint32_t>(moved);
            continue;
        }
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        // Nothing more: 0 with a VMIN of 0, EAGAIN otherwise; else an error.
        return moved == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

int Fd(serialport::Handle handle) {
    return static_cast<int>(handle);
}

bool IsCharacterDevice(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 && S_ISCHR(info.st_mode);
}

// flock first: a port someone else holds must fail before its tty's
// exclusive mode is touched. TIOCEXCL also refuses non-terminals.
bool TakeExclusiveUse(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        flock(fd, LOCK_UN);
        return false;
    }
    return true;
}

// Bytes the driver holds that the device has not taken yet; 0 when it cannot tell.
std::uint32_t QueuedOutput(int fd) {
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 ? static_cast<std::uint32_t>(queued) : 0;
}

// Waits until the device has taken every queued byte; false when the
// deadline passed first or the line failed. tcdrain has no time limit of
// its own; the signal of a BlockingLimit ends it at the deadline.
bool DrainOutput(int fd, const Deadline& deadline) {
    if (QueuedOutput(fd) == 0) {
        return true; // a pseudo-terminal queues nothing: no timer at all
    }
    const serialport::BlockingLimit limit(deadline.Unlimited() ? Clock::duration::max()
                                                               : deadline.Left());
    while (tcdrain(fd) != 0) {
        if (errno != EINTR || deadline.Passed()) {
            return false;
        }
    }
    return true;
}

// A driver that cannot drop queued output (cdc-acm of Linux 6.1) makes the
// last close wait for it for the port's closing wait, 30 s by default, and
// only root may shorten that. A signal ends the wait; the driver then
// cancels the transfers as it shuts the port down.
void ClosePromptly(int fd) {
    if (QueuedOutput(fd) == 0) {
        close(fd);
        return;
    }
    const serialport::BlockingLimit limit(std::chrono::nanoseconds::zero());
    close(fd);
}

// Ports still open when the process ends are closed the same way, so that
// its end does not wait either.
class OpenPorts {
  public:
    ~OpenPorts() {
        for (const int fd : fds) {
            ClosePromptly(fd);
        }
    }
    void Add(int fd) {
        const std::lock_guard lock(mutex);
        fds.insert(fd);
    }
    void Remove(int fd) {
        const std::lock_guard lock(mutex);
        fds.erase(fd);
    }

  private:
    std::mutex mutex;
    std::set<int> fds;
};

OpenPorts openPorts;

int OpenDevice(const std::string& name) {
    int fd = -1;
    do {
        fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

namespace serialport {

Handle Open(int portNumber) {
    const std::string name = PortDeviceName(portNumber);
    if (name.empty()) {
        return kInvalidHandle;
    }
    const int fd = OpenDevice(name);
    if (fd < 0) {
        return kInvalidHandle;
    }
    if (!IsCharacterDevice(fd) || !TakeExclusiveUse(fd)) {
        close(fd);
        return kInvalidHandle;
    }
    openPorts.Add(fd);
    return fd;
}

// Linux keeps no separate line-error state to clear; the flush is the purge.
void ClearAndPurge(Handle handle) {
    tcflush(Fd(handle), TCIOFLUSH);
}

bool GetLineSettings(Handle handle, LineSettings& settings) {
    return termios2io::GetLine(Fd(handle), settings);
}

bool SetLineSettings(Handle handle, const LineSettings& settings) {
    return termios2io::SetLine(Fd(handle), settings);
}

// POSIX keeps no time-outs on the descriptor; each call gets them from its caller.
bool SetTimeouts(Handle handle, std::uint32_t, std::uint32_t) {
    return fcntl(Fd(handle), F_GETFD) != -1;
}

// Counts only what the device took: on failure what is still queued is not
// written, and is dropped so that nothing stale goes out later.
std::uint32_t Write(Handle handle, const std::uint8_t* data, std::uint32_t count,
                    std::uint32_t writeMs) {
    const int fd = Fd(handle);
    const Deadline deadline(writeMs);
    std::uint32_t written = 0;
    const auto writeSome = [&](std::uint32_t offset, std::uint32_t size) {
        return write(fd, data + offset, size);
    };
    const Outcome outcome =
        Transfer(fd, POLLOUT, count, deadline, written, writeSome, [](std::uint32_t) {});
    if (outcome != Outcome::Done || !DrainOutput(fd, deadline)) {
        written -= std::min(QueuedOutput(fd), written);
        tcflush(fd, TCOFLUSH);
    }
    return written;
}

bool Read(Handle handle, std::uint8_t* buffer, std::uint32_t count, std::uint32_t readMs,
          std::uint32_t& got) {
    const int fd = Fd(handle);
    const auto readSome = [&](std::uint32_t offset, std::uint32_t size) {
        return read(fd, buffer + offset, size);
    };
    const auto awaitAll = [fd](std::uint32_t awaited) {
        termios2io::SetReadMinimum(fd, static_cast<std::uint8_t>(std::min(awaited, 255u)));
    };
    Outcome outcome = Transfer(fd, POLLIN, count, Deadline(readMs), got, readSome, awaitAll);
    if (outcome == Outcome::TimedOut && !TakeArrived(got, count, readSome)) {
        outcome = Outcome::Failed;
    }
    return outcome != Outcome::Failed;
}

void Close(Handle handle) {
    const int fd = Fd(handle);
    // Unsent bytes are dropped where the driver can; the only close after a
    // write follows a failed exchange.
    tcflush(fd, TCOFLUSH);
    termios2io::SetReadMinimum(fd, 0); // the line as SetLineSettings left it
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    openPorts.Remove(fd);
    ClosePromptly(fd);
}

} // namespace serialport
