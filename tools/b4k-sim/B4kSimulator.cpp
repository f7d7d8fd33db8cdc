#include "B4kSimulator.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <limits>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/timerfd.h>
#include <system_error>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Nanos = std::int64_t; // CLOCK_MONOTONIC, the clock the timer sleeps on
constexpr Nanos kNever = std::numeric_limits<Nanos>::max();
constexpr Nanos kNanosPerSecond = 1'000'000'000;
constexpr Nanos kNanosPerMs = 1'000'000;
// Start bit, 8 data bits, 2 stop bits.
constexpr double kBitsPerByte = 11;
// A run of stray bytes is one item until the line has been quiet this long.
constexpr Nanos kStrayQuietNs = 100 * kNanosPerMs;

Nanos MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * kNanosPerSecond + now.tv_nsec;
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

const char* KindName(CaptureKind kind) {
    switch (kind) {
    case CaptureKind::WakeUp:
        return "wakeup";
    case CaptureKind::Frame:
        return "frame";
    case CaptureKind::Stray:
        break;
    }
    return "stray";
}

// "/dev/pts/5" is "pts5" under a tty folder of sysfs.
std::string TtyName(const std::string& devicePath) {
    std::string name = devicePath.substr(devicePath.rfind("/dev/", 0) == 0 ? 5 : 0);
    std::erase(name, '/');
    return name;
}

bool WriteText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

// A link left by a simulator that died points to a pseudo-terminal; any
// other entry of that name is a real port's, or the user's, and stays.
bool StaleOrAbsent(const std::string& path) {
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) != 0) {
        return true;
    }
    std::error_code failure;
    return S_ISLNK(existing.st_mode) &&
           fs::read_symlink(path, failure).string().starts_with("/dev/pts/");
}

} // namespace

std::string FormatCaptureLine(const CapturedItem& item) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", item.ms);
    std::string line = text;
    line += ' ';
    line += KindName(item.kind);
    for (const std::uint8_t byte : item.bytes) {
        std::snprintf(text, sizeof text, " %02X", byte);
        line += text;
    }
    return line;
}

// The simulated wire: when each received byte counts as arrived, and when
// each reply byte may go out. At a set rate every byte takes 11 bit times in
// either direction (the two directions are independent, as on a UART), and
// counts as delivered once its last bit is through: the first byte too.
// Replies go out as a USB device hands them over, in packets of up to
// kPacketBytes, each once its last byte is through; a host that reads them
// is then woken once a packet, not once a byte.
class B4kSimulator::Line {
  public:
    static constexpr std::size_t kPacketBytes = 64; // a full-speed USB bulk packet

    explicit Line(std::uint32_t baud)
        : byteNs(baud == 0 ? 0 : std::llround(kBitsPerByte * kNanosPerSecond / baud)) {}

    void Received(const std::uint8_t* bytes, std::size_t count, Nanos readAt) {
        for (std::size_t i = 0; i < count; ++i) {
            lastArrival = std::max(readAt, lastArrival) + byteNs;
            inbound.push_back({lastArrival, bytes[i]});
        }
    }

    bool TakeArrived(Nanos now, std::uint8_t& byte, Nanos& at) {
        if (inbound.empty() || inbound.front().at > now) {
            return false;
        }
        byte = inbound.front().byte;
        at = inbound.front().at;
        inbound.pop_front();
        return true;
    }

    // Replies leave in the order they were made, as from a device that
    // answers one command at a time: one held back holds back those after it.
    void Send(std::vector<std::uint8_t> bytes, Nanos due) {
        outbound.push_back({due, std::move(bytes), 0});
    }

    // Writes whatever is due by `now`, a packet at a time when paced.
    // Stops early when the pty takes no more (Blocked()).
    void WriteDue(int fd, Nanos now) {
        blocked = false;
        while (!outbound.empty() && NextWriteAt() <= now) {
            Pending& pending = outbound.front();
            const Nanos at = NextWriteAt();
            const std::size_t count = NextPacket();
            const ssize_t written = ::write(fd, pending.bytes.data() + pending.sent, count);
            if (written < 0) {
                blocked = errno == EAGAIN || errno == EINTR;
                if (!blocked) {
                    outbound.clear(); // nobody left to send to
                }
                return;
            }
            pending.sent += static_cast<std::size_t>(written);
            // Keep the cadence through small wake-up delays; after a long
            // stall start afresh rather than burst to catch up. A packet
            // the pty took only in part is finished at once.
            nextFree = now - at > byteNs ? now : at;
            if (static_cast<std::size_t>(written) < count) {
                nextFree -= static_cast<Nanos>(count - static_cast<std::size_t>(written)) * byteNs;
            }
            if (pending.sent == pending.bytes.size()) {
                outbound.pop_front();
            }
        }
    }

    bool Blocked() const { return blocked; }

    Nanos NextDeadline() const {
        Nanos next = inbound.empty() ? kNever : inbound.front().at;
        if (!outbound.empty() && !blocked) {
            next = std::min(next, NextWriteAt());
        }
        return next;
    }

  private:
    struct Arrival {
        Nanos at;
        std::uint8_t byte;
    };
    struct Pending {
        Nanos due;
        std::vector<std::uint8_t> bytes;
        std::size_t sent;
    };

    // The bytes of the next write: the reply's rest unpaced, else a packet.
    std::size_t NextPacket() const {
        const Pending& pending = outbound.front();
        const std::size_t rest = pending.bytes.size() - pending.sent;
        return byteNs == 0 ? rest : std::min(rest, kPacketBytes);
    }

    // A packet is written when its last byte has fully crossed the line,
    // which is free again from then on.
    Nanos NextWriteAt() const {
        return std::max(outbound.front().due, nextFree) + static_cast<Nanos>(NextPacket()) * byteNs;
    }

    const Nanos byteNs;
    std::deque<Arrival> inbound;
    std::deque<Pending> outbound;
    Nanos lastArrival = 0;
    Nanos nextFree = 0;
    bool blocked = false;
};

B4kSimulator::B4kSimulator(SimulatorOptions simulatorOptions)
    : options(std::move(simulatorOptions)), device(options.device),
      line(std::make_unique<Line>(options.device.baud)) {}

B4kSimulator::~B4kSimulator() {
    Stop();
}

bool B4kSimulator::Start() {
    if (started) {
        error = "already started";
        return false;
    }
    started = true;
    return OpenDescriptors() && MakeLink() && WriteSysfs() && StartServing();
}

bool B4kSimulator::OpenPort() {
    if (OnTty()) {
        return tty.Open(options.ttyPath) || Fail("cannot open the port " + options.ttyPath);
    }
    return pty.Open() || Fail("cannot open a pseudo-terminal");
}

bool B4kSimulator::OpenDescriptors() {
    if (!OpenPort()) {
        return false;
    }
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (wakeFd < 0 || timerFd < 0) {
        return Fail("cannot create the serving descriptors");
    }
    if (!options.capturePath.empty() &&
        (captureFile = std::fopen(options.capturePath.c_str(), "w")) == nullptr) {
        return Fail("cannot create the capture file " + options.capturePath);
    }
    return true;
}

bool B4kSimulator::StartServing() {
    startNs = MonotonicNow();
    lastFedNs = startNs;
    SetServing(true);
    try {
        thread = std::thread([this] { Serve(); });
    } catch (const std::system_error&) {
        SetServing(false);
        return Fail("cannot start the serving thread");
    }
    return true;
}

void B4kSimulator::SetServing(bool on) {
    {
        std::lock_guard lock(mutex);
        serving = on;
    }
    changed.notify_all();
}

bool B4kSimulator::Fail(const std::string& what) {
    error = what + ": " + std::strerror(errno);
    Teardown();
    return false;
}

void B4kSimulator::Stop() {
    if (thread.joinable()) {
        const std::uint64_t one = 1;
        const ssize_t ignored = ::write(wakeFd, &one, sizeof one);
        (void)ignored;
        thread.join();
    }
    Teardown();
}

void B4kSimulator::Teardown() {
    pty.Close();
    tty.Close();
    CloseFd(wakeFd);
    CloseFd(timerFd);
    if (captureFile != nullptr) {
        std::fclose(captureFile);
        captureFile = nullptr;
    }
    RemoveLink();
    RemoveSysfs();
}

// Claims `name` in `folder`, making the folder's way as needed; a name that
// another live simulator holds is refused, and nothing of its is touched.
bool B4kSimulator::Claim(NameClaim& claim, FolderTrail& trail, const std::string& folder,
                         const std::string& name, const std::string& what) {
    constexpr int kAttempts = 20; // the folder may be removed under us by its maker
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!trail.Make(folder)) {
            return Fail("cannot make the folder " + folder);
        }
        const NameClaim::Outcome outcome = claim.Take(folder, name);
        if (outcome == NameClaim::Outcome::Taken) {
            return true;
        }
        if (outcome == NameClaim::Outcome::HeldByOther) {
            refused = true;
            error = what + " is held by " +
                    (claim.Holder() > 0 ? "the b4k-sim of process " + std::to_string(claim.Holder())
                                        : std::string("another b4k-sim"));
            Teardown();
            return false;
        }
        if (errno != ENOENT) {
            break;
        }
    }
    return Fail("cannot claim " + what);
}

// Made under a temporary name and renamed, so that a stale link of an
// earlier run is replaced in one step.
bool B4kSimulator::MakeLink() {
    if (options.portDir.empty() || options.comNumber == 0) {
        return true;
    }
    const std::string name = "COM" + std::to_string(options.comNumber);
    const std::string path = (fs::path(options.portDir) / name).string();
    if (!Claim(comClaim, portFolders, options.portDir, name, path)) {
        return false;
    }
    if (!StaleOrAbsent(path)) {
        errno = EEXIST;
        return Fail("cannot create the link " + path);
    }
    const std::string temporary = path + ".new" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(pty.SlavePath().c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int cause = errno;
        ::unlink(temporary.c_str());
        errno = cause;
        return Fail("cannot create the link " + path);
    }
    linkPath = path;
    return true;
}

// Only our own link goes; then the claim, then the folders we made.
void B4kSimulator::RemoveLink() {
    if (!linkPath.empty()) {
        std::error_code ignored;
        if (fs::read_symlink(linkPath, ignored) == pty.SlavePath()) {
            fs::remove(linkPath, ignored);
        }
        linkPath.clear();
    }
    comClaim.Release();
    portFolders.Remove();
}

// The layout a USB serial device has under /sys, as far as port discovery
// looks. A tree left by a simulator that died is replaced whole, so that no
// stale tty entry remains beside ours.
bool B4kSimulator::WriteSysfs() {
    if (options.sysfsDir.empty()) {
        return true;
    }
    const fs::path usbDevice =
        fs::path(options.sysfsDir) / "bus" / "usb" / "devices" / options.usbPath;
    const fs::path ttyFolder =
        usbDevice / (options.usbPath + ":1.0") / "tty" / TtyName(pty.SlavePath());
    if (!Claim(usbClaim, sysfsFolders, options.sysfsDir, "usb-" + options.usbPath,
               "the USB path " + options.usbPath + " under " + options.sysfsDir)) {
        return false;
    }
    std::error_code failure;
    fs::remove_all(usbDevice, failure);
    sysfsDevice = usbDevice.string();
    const dev_t dev = pty.SlaveDevice();
    const std::string numbers = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    if (!sysfsFolders.Make(ttyFolder) || !WriteText(usbDevice / "idVendor", "2c7a\n") ||
        !WriteText(usbDevice / "idProduct", "0001\n") ||
        !WriteText(usbDevice / "serial", "DEMO_1.000\n") ||
        !WriteText(ttyFolder / "dev", numbers + "\n")) {
        return Fail("cannot write the sysfs tree under " + options.sysfsDir);
    }
    return true;
}

// Our device's folder, then the claim (whose file sits in the tree's root),
// then the folders we made on the way, those that nobody else uses.
void B4kSimulator::RemoveSysfs() {
    if (!sysfsDevice.empty()) {
        std::error_code ignored;
        fs::remove_all(sysfsDevice, ignored);
        sysfsDevice.clear();
    }
    usbClaim.Release();
    sysfsFolders.Remove();
}

std::vector<CapturedItem> B4kSimulator::Capture() const {
    std::lock_guard lock(mutex);
    return captured;
}

std::vector<std::vector<std::uint8_t>> B4kSimulator::CapturedFrames() const {
    std::lock_guard lock(mutex);
    std::vector<std::vector<std::uint8_t>> frames;
    for (const CapturedItem& item : captured) {
        if (item.kind == CaptureKind::Frame) {
            frames.push_back(item.bytes);
        }
    }
    return frames;
}

bool B4kSimulator::WaitForItems(std::size_t count, std::uint32_t timeoutMs) const {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return captured.size() >= count || !serving; });
    return captured.size() >= count;
}

void B4kSimulator::WaitUntilServingEnds() const {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return !serving; });
}

// --- the serving thread

void B4kSimulator::Serve() {
    while (ServeOnce()) {
    }
    std::vector<CapturedItem> items;
    device.FlushStray(items);
    Record(items);
    SetServing(false);
}

// Does all that is due now, then sleeps until the next deadline, input,
// the host opening or closing the port, or a stop request.
bool B4kSimulator::ServeOnce() {
    const Nanos now = MonotonicNow();
    if (!FeedArrived(now)) {
        HangUp();
        return false;
    }
    line->WriteDue(PortFd(), now);
    CloseQuietStray(now);
    ArmTimer(NextDeadline());
    return WaitForEvents();
}

// Hands the device every byte that has arrived by `now`; false once it hung up.
bool B4kSimulator::FeedArrived(Nanos now) {
    std::vector<CapturedItem> items;
    std::uint8_t byte = 0;
    Nanos at = 0;
    bool alive = true;
    while (alive && line->TakeArrived(now, byte, at)) {
        std::vector<std::uint8_t> reply;
        const double ms = static_cast<double>(at - startNs) / static_cast<double>(kNanosPerMs);
        alive = device.Receive(byte, ms, items, reply);
        lastFedNs = at;
        if (!reply.empty()) {
            line->Send(std::move(reply), at + Nanos{device.ReplyDelayMs()} * kNanosPerMs);
        }
    }
    Record(items);
    return alive;
}

void B4kSimulator::CloseQuietStray(Nanos now) {
    if (device.StrayPending() && now - lastFedNs >= kStrayQuietNs) {
        std::vector<CapturedItem> items;
        device.FlushStray(items);
        Record(items);
    }
}

Nanos B4kSimulator::NextDeadline() const {
    const Nanos strayEnds = device.StrayPending() ? lastFedNs + kStrayQuietNs : kNever;
    return std::min(line->NextDeadline(), strayEnds);
}

void B4kSimulator::ArmTimer(Nanos deadline) {
    itimerspec timer{}; // all zero disarms it
    if (deadline != kNever) {
        timer.it_value.tv_sec = deadline / kNanosPerSecond;
        timer.it_value.tv_nsec = deadline % kNanosPerSecond;
    }
    timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &timer, nullptr);
}

bool B4kSimulator::WaitForEvents() {
    const auto masterEvents = static_cast<short>(POLLIN | (line->Blocked() ? POLLOUT : 0));
    pollfd fds[] = {{masterLost ? -1 : PortFd(), masterEvents, 0},
                    {timerFd, POLLIN, 0},
                    {pty.WatchFd(), POLLIN, 0},
                    {wakeFd, POLLIN, 0},
                    {options.stopFd, POLLIN, 0}};
    if (::poll(fds, std::size(fds), -1) < 0) {
        return errno == EINTR;
    }
    if (fds[3].revents != 0 || fds[4].revents != 0) {
        return false;
    }
    if (fds[1].revents != 0) {
        std::uint64_t expirations = 0;
        const ssize_t ignored = ::read(timerFd, &expirations, sizeof expirations);
        (void)ignored;
    }
    if (fds[2].revents != 0) {
        pty.TakeWatchEvents();
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadInput() &&
        (fds[0].revents & (POLLHUP | POLLERR)) != 0) {
        // A pty master cannot hang up while we hold the slave: never spin on
        // it. An existing port that hangs up stays dead: serving ends.
        masterLost = true;
        portHungUp = OnTty();
        return !OnTty();
    }
    return true;
}

// Takes everything the host has written so far; false when there was nothing.
bool B4kSimulator::ReadInput() {
    std::uint8_t buffer[4096];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(PortFd(), buffer, sizeof buffer);
        if (n > 0) {
            line->Received(buffer, static_cast<std::size_t>(n), MonotonicNow());
            any = true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return any;
        }
    }
}

// The device vanishes as an unplugged one would: the port fails for the
// host, and the link and the sysfs entry go. An existing port is only let
// go of: unplugging it is not ours to do.
void B4kSimulator::HangUp() {
    pty.Close();
    tty.Close();
    hungUp = true;
    RemoveLink();
    RemoveSysfs();
}

void B4kSimulator::Record(const std::vector<CapturedItem>& items) {
    if (items.empty()) {
        return;
    }
    if (captureFile != nullptr) {
        for (const CapturedItem& item : items) {
            std::fprintf(captureFile, "%s\n", FormatCaptureLine(item).c_str());
        }
        std::fflush(captureFile);
    }
    {
        std::lock_guard lock(mutex);
        captured.insert(captured.end(), items.begin(), items.end());
    }
    changed.notify_all();
}
