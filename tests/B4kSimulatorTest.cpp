// The simulator through a real pseudo-terminal, and the b4k-sim program.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "B4kSimulator.h"
#include "Processrunner.h"
#include "Tempdir.h"
#include "Testframes.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Bytes Text(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// An empty payload: the checksum is the type itself.
Bytes EmptyFrame(std::uint8_t type) {
    return {0x5B, type, 0, type, 0x5D};
}

// The host's end, opened raw as the tool opens its port.
class HostPort {
  public:
    explicit HostPort(const std::string& path, bool exclusive = false)
        : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        termios settings{};
        if (fd >= 0 && tcgetattr(fd, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(fd, TCSANOW, &settings);
        }
        if (fd >= 0 && exclusive) {
            ioctl(fd, TIOCEXCL);
            flock(fd, LOCK_EX | LOCK_NB);
        }
    }
    explicit HostPort(int openFd) : fd(openFd) {}
    ~HostPort() {
        if (fd >= 0) {
            close(fd);
        }
    }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    bool IsOpen() const { return fd >= 0; }
    int Fd() const { return fd; }
    void Write(const Bytes& bytes) const {
        ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Until `count` bytes came, the port failed, or `timeoutMs` passed.
    Bytes Read(std::size_t count, int timeoutMs) const {
        Bytes bytes;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (bytes.size() < count && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            std::uint8_t buffer[256];
            const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (n <= 0) {
                break;
            }
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }

  private:
    int fd;
};

} // namespace

TEST(B4kSimulator, AnswersThroughItsLinkCapturesAndUnpublishesWhenStopped) {
    EXPECT_EQ(FormatCaptureLine({12.3456, CaptureKind::Frame, EmptyFrame(13)}),
              "12.346 frame 5B 0D 00 0D 5D");
    Tempdir dir;
    SimulatorOptions options;
    options.capturePath = dir.File("capture.txt");
    options.portDir = dir.File("ports");
    options.comNumber = 9;
    options.sysfsDir = dir.File("sys");
    B4kSimulator simulator(options);
    ASSERT_TRUE(simulator.Start()) << simulator.Error();
    // The tree's contents are read back by the device detection tests.
    const fs::path link = fs::path(options.portDir) / "COM9";
    const fs::path usb = fs::path(options.sysfsDir) / "bus/usb/devices/1-1";
    EXPECT_EQ(fs::read_symlink(link), simulator.SlavePath());
    ASSERT_TRUE(fs::exists(usb));
    {
        HostPort host(link.string());
        ASSERT_TRUE(host.IsOpen());
        Bytes wakeUp = Text("zz");
        const Bytes string = Text("Hq3vT8mWe");
        wakeUp.insert(wakeUp.end(), string.begin(), string.end());
        host.Write(wakeUp);
        EXPECT_EQ(host.Read(1, 1000), Bytes{0x06});
        host.Write(kConnectFrame);
        EXPECT_EQ(host.Read(7, 1000), kConnectAck);
    }
    ASSERT_TRUE(simulator.WaitForItems(3, 1000));
    const std::vector<CapturedItem> items = simulator.Capture();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].kind, CaptureKind::Stray);
    EXPECT_EQ(items[1].kind, CaptureKind::WakeUp);
    EXPECT_EQ(items[2].kind, CaptureKind::Frame);
    EXPECT_LE(items[1].ms, items[2].ms);
    EXPECT_EQ(simulator.CapturedFrames(), std::vector<Bytes>{kConnectFrame});
    std::string lines;
    for (const CapturedItem& item : items) {
        lines += FormatCaptureLine(item) + "\n";
    }
    EXPECT_EQ(ReadText(options.capturePath), lines);
    simulator.Stop();
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_FALSE(fs::exists(usb));
}

TEST(B4kSimulator, HoldsEachReplyFromItsFrameAndStopsWithoutWaitingForIt) {
    SimulatorOptions options;
    options.device.replyDelayMs = 300;
    B4kSimulator simulator(options);
    ASSERT_TRUE(simulator.Start()) << simulator.Error();
    HostPort host(simulator.SlavePath());
    auto start = Clock::now();
    host.Write(EmptyFrame(3));
    host.Write(EmptyFrame(5));
    const Bytes first = host.Read(6, 1000);
    EXPECT_GE(MsSince(start), 300);
    const Bytes second = host.Read(6, 1000);
    // Each reply is held from its own frame on, not one after the other (600 ms).
    EXPECT_LT(MsSince(start), 500);
    EXPECT_EQ(first[1], 4);
    EXPECT_EQ(second[1], 6);

    host.Write(Text("abc"));
    ASSERT_TRUE(simulator.WaitForItems(3, 1000)); // closed by the quiet line
    EXPECT_EQ(simulator.Capture()[2].bytes, Text("abc"));
    host.Write(EmptyFrame(3));
    host.Write(Text("de"));
    ASSERT_TRUE(simulator.WaitForItems(4, 1000));
    start = Clock::now();
    simulator.Stop(); // with a reply still held
    EXPECT_LT(MsSince(start), 100);
    // The run still open at the stop is recorded too.
    ASSERT_EQ(simulator.Capture().size(), 5u);
    EXPECT_EQ(simulator.Capture()[4].bytes, Text("de"));
}

TEST(B4kSimulator, PacesBothDirectionsAtTheLineRate) {
    SimulatorOptions options;
    options.device.baud = 2400;
    const double byteMs = 11.0 * 1000 / 2400;
    B4kSimulator simulator(options);
    ASSERT_TRUE(simulator.Start()) << simulator.Error();
    HostPort host(simulator.SlavePath());
    const auto start = Clock::now();
    host.Write(kConnectFrame);
    // The reply starts once the 20th byte is in and takes 6 more byte times.
    ASSERT_EQ(host.Read(1, 1000).size(), 1u);
    const double firstMs = MsSince(start);
    ASSERT_EQ(host.Read(6, 1000).size(), 6u);
    const double lastMs = MsSince(start);
    EXPECT_GE(firstMs, 0.9 * 19 * byteMs);
    // Measured from the start: a late wake-up of this thread cannot hide pacing.
    EXPECT_GE(lastMs, 0.9 * 25 * byteMs);
    EXPECT_LT(lastMs, 25 * byteMs + 150);
}

TEST(B4kSimulator, HangUpFailsTheHostsPort) {
    Tempdir dir;
    SimulatorOptions options;
    options.device.hangupAfterFrames = 2;
    options.portDir = dir.Path().string();
    options.comNumber = 3;
    B4kSimulator simulator(options);
    ASSERT_TRUE(simulator.Start()) << simulator.Error();
    HostPort host(simulator.SlavePath());
    host.Write(kConnectFrame);
    EXPECT_EQ(host.Read(7, 1000), kConnectAck);
    host.Write(EmptyFrame(3));
    pollfd p{host.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    std::uint8_t byte = 0;
    EXPECT_LE(read(host.Fd(), &byte, 1), 0);
    simulator.WaitUntilServingEnds();
    EXPECT_TRUE(simulator.HungUp());
    EXPECT_FALSE(fs::is_symlink(dir.Path() / "COM3"));
    EXPECT_EQ(simulator.CapturedFrames().size(), 2u);
}

TEST(B4kSimulator, OutlivesTheHostClosingAnExclusivePort) {
    B4kSimulator simulator{SimulatorOptions{}};
    ASSERT_TRUE(simulator.Start()) << simulator.Error();
    for (int session = 0; session < 2; ++session) {
        HostPort host(simulator.SlavePath(), true);
        ASSERT_TRUE(host.IsOpen());
        host.Write(Text("Hq3vT8mWe"));
        EXPECT_EQ(host.Read(1, 1000), Bytes{0x06}) << "session " << session;
    }
    // The exclusive mode ends with the host's last descriptor, as on a real
    // port; otherwise its next open would be refused to anyone but root.
    int exclusive = 1;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (exclusive != 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int fd = open(simulator.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ioctl(fd, TIOCGEXCL, &exclusive);
        close(fd);
    }
    EXPECT_EQ(exclusive, 0);
    EXPECT_FALSE(simulator.HungUp());
}

// The slave of a pty pair stands for a real port; the test plays the host on the master.
TEST(B4kSimulator, ServesAnExistingPortExclusivelyAndRawUntilItHangsUp) {
    int master = -1;
    int slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    SimulatorOptions options;
    options.ttyPath = name;
    B4kSimulator simulator(options);
    ASSERT_TRUE(simulator.Start()) << simulator.Error();
    EXPECT_EQ(simulator.SlavePath(), name);
    const int second = open(name, O_RDWR | O_NOCTTY);
    EXPECT_TRUE(second < 0 || flock(second, LOCK_EX | LOCK_NB) != 0);
    close(second);
    {
        HostPort host(master);
        host.Write(Text("Hq3vT8mWe"));
        EXPECT_EQ(host.Read(1, 1000), Bytes{0x06});
        host.Write(kConnectFrame);
        EXPECT_EQ(host.Read(7, 1000), kConnectAck);
    }
    simulator.WaitForItems(SIZE_MAX, 1000); // ends early once serving has ended
    EXPECT_TRUE(simulator.PortHungUp());
}

TEST(B4kSimProgram, HelpListsEveryOptionAndBadUsageExitsTwo) {
    const ProcessResult help = RunProcess(B4K_SIM_PATH, {"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* option :
         {"--tty", "--port-dir", "--com", "--sysfs", "--usb-path", "--capture", "--module-type",
          "--status", "--silent", "--ignore-connects", "--corrupt-reply", "--corrupt-type",
          "--wrong-echo", "--delay", "--type-delay", "--garbage-after", "--baud", "--hangup-after",
          "--help"}) {
        const std::size_t at = help.out.find(std::string("\n  ") + option + " ");
        ASSERT_NE(at, std::string::npos) << option;
        const std::string line = help.out.substr(at + 1, help.out.find('\n', at + 1) - at - 1);
        EXPECT_TRUE(line.find("(default") != std::string::npos || line.find("--help") == 2) << line;
    }
    const std::vector<std::vector<std::string>> bad = {{"--bogus"},
                                                       {"--baud", "fast"},
                                                       {"--status", "3"},
                                                       {"--wrong-echo", "3"},
                                                       {"--delay"},
                                                       {"--com", "4"},
                                                       {"--type-delay", "5=x"},
                                                       {"--tty", "/dev/null", "--sysfs", "s"},
                                                       {"--usb-path", "1-1/x"}};
    for (const std::vector<std::string>& args : bad) {
        const ProcessResult run = RunProcess(B4K_SIM_PATH, args);
        EXPECT_EQ(run.exitStatus, 2) << args[0];
        EXPECT_FALSE(run.err.empty()) << args[0];
    }
    const ProcessResult notAPort = RunProcess(B4K_SIM_PATH, {"--tty", "/dev/null"});
    EXPECT_EQ(notAPort.exitStatus, 1);
    EXPECT_NE(notAPort.err.find("/dev/null"), std::string::npos);
}

TEST(B4kSimProgram, ServesUntilTerminatedThenRemovesItsLink) {
    Tempdir dir;
    const fs::path link = dir.Path() / "COM5";
    // The shell prints its process number, then becomes the simulator.
    const std::string command = "echo $$; exec '" + std::string(B4K_SIM_PATH) + "' --port-dir '" +
                                dir.Path().string() + "' --com 5";
    FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    char pid[32] = {};
    char firstLine[256] = {};
    ASSERT_NE(std::fgets(pid, sizeof pid, out), nullptr);
    ASSERT_NE(std::fgets(firstLine, sizeof firstLine, out), nullptr);
    EXPECT_EQ(firstLine, fs::read_symlink(link).string() + "\n");
    {
        HostPort host(link.string());
        host.Write(Text("Hq3vT8mWe"));
        EXPECT_EQ(host.Read(1, 1000), Bytes{0x06});
    }
    const auto start = Clock::now();
    ASSERT_EQ(kill(std::atoi(pid), SIGTERM), 0);
    const int status = pclose(out);
    EXPECT_LT(MsSince(start), 600); // LeakSanitizer's scan at exit included
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fs::is_symlink(link));
}
