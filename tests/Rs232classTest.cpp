// TRS232Class against a pseudo-terminal: the port opens the slave as COM7
// through a link in a temporary port directory; the test plays the device
// on the master side.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <future>
#include <numeric>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Tempdir.h"
#include "serial/Blockinglimit_linux.h"
#include "serial/Rs232class.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr int kPort = 7;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A transfer that hangs cannot be unwound from; end the run loudly instead.
template <typename T> T AwaitOrDie(std::future<T>& result, std::chrono::milliseconds limit) {
    if (result.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "transfer still blocked after %lld ms\n",
                     static_cast<long long>(limit.count()));
        std::_Exit(EXIT_FAILURE);
    }
    return result.get();
}

class Rs232classTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char slaveName[128];
        // The master's own side is raw from the start; its termios calls would
        // reach the slave, which stays cooked so that ConfigurePort must make it raw.
        ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
        ASSERT_EQ(symlink(slaveName, dir.File("COM7").c_str()), 0);
        setenv("ZUL_PORT_DIR", dir.Path().c_str(), 1);
    }
    void TearDown() override {
        port.ClosePort();
        for (int fd : {master, slave}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    void OpenConfigured(std::uint32_t timeoutMs) {
        ASSERT_EQ(port.OpenPort(kPort), 1);
        ASSERT_NE(port.ConfigurePort(166666, 8, serialport::kNoParity, serialport::kTwoStopBits),
                  0);
        ASSERT_NE(port.SetTimeouts(timeoutMs, timeoutMs), 0);
    }
    void Send(const Bytes& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What the port sent, up to `count` bytes or until `limit` of silence.
    Bytes Receive(std::size_t count, int limitMs = 300) const {
        Bytes got(count);
        std::size_t have = 0;
        pollfd entry{master, POLLIN, 0};
        while (have < count && poll(&entry, 1, limitMs) == 1) {
            const ssize_t n = read(master, got.data() + have, count - have);
            if (n <= 0) {
                break;
            }
            have += static_cast<std::size_t>(n);
        }
        got.resize(have);
        return got;
    }

    Tempdir dir;
    int master = -1;
    int slave = -1;
    TRS232Class port;
};

TEST_F(Rs232classTest, PortNameIsTheLinkElseTtyAcmAndAMissingPortFailsEverything) {
    ASSERT_EQ(symlink("/nonexistent/tty", dir.File("COM9").c_str()), 0);
    EXPECT_EQ(serialport::PortDeviceName(7), dir.File("COM7"));
    EXPECT_EQ(serialport::PortDeviceName(9), dir.File("COM9")); // dangling still counts
    EXPECT_EQ(serialport::PortDeviceName(8), "/dev/ttyACM7");
    EXPECT_EQ(serialport::PortDeviceName(1), "/dev/ttyACM0");
    EXPECT_EQ(serialport::PortDeviceName(0), "");
    EXPECT_EQ(serialport::PortDeviceName(-3), "");
    EXPECT_EQ(port.OpenPort(0), 0);
    const Bytes data{1, 2, 3};
    Bytes buffer(3);
    EXPECT_EQ(port.OpenPort(9), 0);
    EXPECT_EQ(port.PortHandle(), serialport::kInvalidHandle);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.ConfigurePort(166666, 8, 0, 2), 0);
    EXPECT_EQ(port.SetTimeouts(100, 100), 0);
    EXPECT_EQ(port.WriteBlock(data.data(), 3), -1);
    EXPECT_EQ(port.WriteBlock(data.data(), 0), 1);
    EXPECT_EQ(port.ReadBlock(buffer.data(), 3), -1);
    EXPECT_EQ(port.ReadByte(), -1);
    EXPECT_EQ(port.FlushPort(), 0);
    port.ClosePort();
    EXPECT_EQ(port.PortHandle(), serialport::kInvalidHandle);
}

TEST_F(Rs232classTest, HeldPortRefusesASecondOpenUntilClosed) {
    ASSERT_EQ(port.OpenPort(kPort), 1);
    const serialport::Handle held = port.PortHandle();
    TRS232Class other;
    EXPECT_EQ(other.OpenPort(kPort), 0);
    EXPECT_EQ(other.PortHandle(), serialport::kInvalidHandle);
    port.ClosePort();
    port.ClosePort();
    EXPECT_EQ(port.PortHandle(), held);
    EXPECT_EQ(other.OpenPort(kPort), 1);
    other.ClosePort();
}

TEST_F(Rs232classTest, ClosedPortLeavesItsReusedDescriptorAlone) {
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(100));
    port.ClosePort();
    // The stale number now names the same line through another open file.
    const int stale = static_cast<int>(port.PortHandle());
    ASSERT_EQ(dup2(slave, stale), stale);
    Send({'x'});
    const Bytes data{1, 2, 3};
    EXPECT_EQ(port.WriteBlock(data.data(), 3), -1);
    EXPECT_EQ(port.ConfigurePort(9600, 8, 0, 0), 0);
    EXPECT_EQ(port.ReadByte(), -1);
    EXPECT_EQ(port.FlushPort(), 1);
    serialport::LineSettings seen{};
    ASSERT_TRUE(serialport::GetLineSettings(stale, seen));
    EXPECT_EQ(seen.baudRate, 166666u);
    char byte = 0;
    EXPECT_EQ(read(stale, &byte, 1), 1); // neither purged nor read
    EXPECT_TRUE(Receive(3, 50).empty());
    close(stale);
}

TEST_F(Rs232classTest, ConfiguredLineIsRawAtTheExactRateWithTwoStopBits) {
    termios cooked{}; // every translation that could alter a byte, for ConfigurePort to undo
    ASSERT_EQ(tcgetattr(slave, &cooked), 0);
    cooked.c_iflag |= ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | PARMRK;
    cooked.c_oflag |= OPOST | ONLCR | OCRNL;
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &cooked), 0);
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(300));
    serialport::LineSettings seen{};
    ASSERT_TRUE(serialport::GetLineSettings(slave, seen));
    EXPECT_EQ(seen.baudRate, 166666u);
    EXPECT_EQ(seen.stopBits, serialport::kTwoStopBits);
    EXPECT_EQ(seen.byteSize, 8);
    termios line{}; // as the OS holds it: 8 data bits, 2 stop bits, no parity, no flow control
    ASSERT_EQ(tcgetattr(slave, &line), 0);
    EXPECT_EQ(line.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS), tcflag_t{CS8 | CSTOPB});
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0); // ^C, ^S, ^D, CR and LF among them
    Send(all);
    Bytes got(256);
    EXPECT_EQ(port.ReadBlock(got.data(), 256), 1);
    EXPECT_EQ(got, all);
    EXPECT_EQ(port.WriteBlock(all.data(), 256), 1);
    EXPECT_EQ(port.BytesWritten(), 256u);
    EXPECT_EQ(Receive(512, 100), all); // and no echo of what came in
    EXPECT_EQ(port.ConfigurePort(166666, 8, 0, serialport::kOneAndHalfStopBits), 0);
    EXPECT_EQ(port.ConfigurePort(166666, 8, 9, 2), 0);
    EXPECT_EQ(port.ConfigurePort(166666, 9, 0, 2), 0);
    EXPECT_EQ(port.ConfigurePort(0, 8, 0, 2), 0);
}

TEST_F(Rs232classTest, ReadEndsOnceAllArrivedElseFailsAtTheTimeoutKeepingWhatCame) {
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(200));
    std::thread device([this] {
        Send({1, 2, 3, 4});
        std::this_thread::sleep_for(40ms);
        Send({5, 6, 7, 8, 9, 10, 11, 12, 13});
    });
    Bytes got(8);
    auto start = Clock::now();
    EXPECT_EQ(port.ReadBlock(got.data(), 8), 1);
    EXPECT_LT(MsSince(start), 150);
    device.join();
    EXPECT_EQ(got, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    EXPECT_EQ(port.ReadBlock(got.data(), 8), -1);
    const long long elapsed = MsSince(start);
    EXPECT_GE(elapsed, 195);
    EXPECT_LT(elapsed, 1000);
    EXPECT_LT(std::clock() - cpuStart, CLOCKS_PER_SEC / 20); // waited, did not spin
    EXPECT_EQ(port.BytesRead(), 5u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 5), (Bytes{9, 10, 11, 12, 13}));
}

// A read waits for the whole rest of a reply at once; bytes short of it
// still count at the time-out, and a hang-up still ends the wait at once.
TEST_F(Rs232classTest, BytesShortOfTheAwaitedCountAreKeptAtTheTimeoutAndHangUpEndsTheWait) {
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(200));
    Bytes got(8);
    std::thread device([this] {
        std::this_thread::sleep_for(50ms); // after the read has begun to wait
        Send({1, 2, 3});
    });
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadBlock(got.data(), 8), -1);
    EXPECT_GE(MsSince(start), 195);
    device.join();
    EXPECT_EQ(port.BytesRead(), 3u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 3), (Bytes{1, 2, 3}));

    ASSERT_NE(port.SetTimeouts(0, 0), 0); // no time limit
    auto read = std::async(std::launch::async, [&] { return port.ReadBlock(got.data(), 8); });
    std::this_thread::sleep_for(50ms);
    Send({4, 5});
    std::this_thread::sleep_for(50ms);
    close(master);
    master = -1;
    EXPECT_EQ(AwaitOrDie(read, 1s), -1);
}

TEST_F(Rs232classTest, ReadByteIsZeroExtendedAndCountsOfZeroOrLessEndAtOnce) {
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(300));
    Send({0xFF, 0x00});
    EXPECT_EQ(port.ReadByte(), 255);
    EXPECT_EQ(port.ReadByte(), 0);
    std::uint8_t byte = 0;
    const auto start = Clock::now();
    EXPECT_EQ(port.ReadBlock(&byte, 0), 1);
    EXPECT_LT(MsSince(start), 100);
    EXPECT_EQ(port.WriteBlock(nullptr, 0), 1);
    EXPECT_EQ(port.WriteBlock(&byte, -1), -1);
    EXPECT_EQ(port.ReadBlock(&byte, -1), -1);
    EXPECT_EQ(port.ReadByte(), -1);
}

TEST_F(Rs232classTest, LongWriteWaitsForRoomButNotPastItsTimeout) {
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(300));
    Bytes block(256 * 1024);
    std::iota(block.begin(), block.end(), 0);
    auto drained = std::async(std::launch::async, [&] { return Receive(block.size()); });
    EXPECT_EQ(port.WriteBlock(block.data(), static_cast<int>(block.size())), 1);
    EXPECT_EQ(AwaitOrDie(drained, 5s), block);

    ASSERT_NE(port.SetTimeouts(150, 150), 0); // now nobody reads
    const auto start = Clock::now();
    EXPECT_EQ(port.WriteBlock(block.data(), static_cast<int>(block.size())), -1);
    EXPECT_GE(MsSince(start), 145);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_GT(port.BytesWritten(), 0u);
    EXPECT_LT(port.BytesWritten(), block.size());
}

TEST_F(Rs232classTest, OpenPurgesAndFlushLastsUntilOneSilentTimeout) {
    Send({'o', 'l', 'd', '\n'}); // waiting in the line before the port opens
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(150));
    EXPECT_EQ(port.ReadByte(), -1);
    Send({1, 2, 3});
    auto start = Clock::now();
    EXPECT_EQ(port.FlushPort(), 1);
    EXPECT_GE(MsSince(start), 145);
    EXPECT_LT(MsSince(start), 600);
    std::thread device([this] {
        for (std::uint8_t i = 0; i < 24; ++i) { // a byte every 25 ms for 600 ms
            Send({i});
            std::this_thread::sleep_for(25ms);
        }
    });
    start = Clock::now();
    auto flushed = std::async(std::launch::async, [this] { return port.FlushPort(); });
    EXPECT_EQ(AwaitOrDie(flushed, 3s), 1);
    EXPECT_GE(MsSince(start), 600);
    device.join();
    EXPECT_EQ(port.ReadByte(), -1);
}

TEST_F(Rs232classTest, HangUpEndsTransfersPromptly) {
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(0)); // no time limits at all
    Bytes buffer(16);
    auto read = std::async(std::launch::async, [&] { return port.ReadBlock(buffer.data(), 4); });
    std::this_thread::sleep_for(50ms);
    close(master);
    master = -1;
    EXPECT_EQ(AwaitOrDie(read, 1s), -1);
    auto written =
        std::async(std::launch::async, [&] { return port.WriteBlock(buffer.data(), 16); });
    EXPECT_EQ(AwaitOrDie(written, 1s), -1);
}

TEST_F(Rs232classTest, SignalDoesNotShortenARead) {
    struct sigaction quiet {};
    struct sigaction previous {};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);
    quiet.sa_flags = 0; // no SA_RESTART: poll and read do see EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &previous), 0);
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(250));
    Bytes got(8);
    long long elapsed = 0;
    int result = 0;
    std::thread reader([&] {
        const auto start = Clock::now();
        result = port.ReadBlock(got.data(), 8);
        elapsed = MsSince(start);
    });
    std::this_thread::sleep_for(80ms);
    pthread_kill(reader.native_handle(), SIGUSR1);
    reader.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(result, -1);
    EXPECT_GE(elapsed, 245);
}

// What bounds tcdrain and a close that waits for unsent bytes; a pseudo-
// terminal queues nothing, so it is shown here on a wait far longer than the limit.
TEST(BlockingLimit, EndsALongWaitOfItsThreadAtTheLimitAndAgainUntilGone) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pollfd entry{pipeFds[0], POLLIN, 0};
    const auto start = Clock::now();
    {
        const serialport::BlockingLimit limit(100ms);
        ASSERT_TRUE(limit.Armed());
        EXPECT_EQ(poll(&entry, 1, 1000), -1);
        EXPECT_GE(MsSince(start), 99);
        EXPECT_EQ(poll(&entry, 1, 1000), -1);
        EXPECT_LT(MsSince(start), 300);
    }
    EXPECT_EQ(poll(&entry, 1, 100), 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
}

} // namespace
