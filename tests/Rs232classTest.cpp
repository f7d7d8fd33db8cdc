// TRS232Class against a pseudo-terminal: the port opens the slave as COM7
// through a link in a temporary port directory; the test plays the device
// on the master side.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <numeric>
#include <poll.h>
#include <pty.h>
#include <thread>
#include <unistd.h>

#include "Tempdir.h"
#include "serial/Blockinglimit_linux.h"
#include "serial/Rs232class.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Rs232classTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char slaveName[128];
        // The slave starts cooked (echo, signals, line editing, CR and LF
        // translation, XON/XOFF), as a USB serial port does: ConfigurePort must make it raw.
        ASSERT_EQ(openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
        ASSERT_EQ(symlink(slaveName, dir.File("COM7").c_str()), 0);
        setenv("ZUL_PORT_DIR", dir.Path().c_str(), 1);
    }
    void TearDown() override {
        port.ClosePort();
        close(master);
        close(slave);
    }
    void OpenConfigured(std::uint32_t timeoutMs) {
        ASSERT_EQ(port.OpenPort(7), 1);
        ASSERT_NE(port.ConfigurePort(166666, 8, 0, serialport::kTwoStopBits), 0);
        ASSERT_NE(port.SetTimeouts(timeoutMs, timeoutMs), 0);
    }
    void Send(const Bytes& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    Tempdir dir;
    int master = -1;
    int slave = -1;
    TRS232Class port;
};

TEST_F(Rs232classTest, OpensTheLinkElseTtyAcmOneBelowAndOnlyOnceAtATime) {
    ASSERT_EQ(symlink("/nonexistent/tty", dir.File("COM9").c_str()), 0);
    EXPECT_EQ(serialport::PortDeviceName(9), dir.File("COM9")); // even dangling
    EXPECT_EQ(serialport::PortDeviceName(8), "/dev/ttyACM7");
    TRS232Class other;
    ASSERT_EQ(other.OpenPort(7), 1);
    EXPECT_EQ(port.OpenPort(7), 0);
    other.ClosePort();
    EXPECT_EQ(port.OpenPort(7), 1);
}

TEST_F(Rs232classTest, ConfiguredLineIsRawAtTheExactRateWithTwoStopBits) {
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(300));
    serialport::LineSettings seen{};
    ASSERT_TRUE(serialport::GetLineSettings(slave, seen));
    EXPECT_EQ(seen.baudRate, 166666u);
    termios line{}; // as the OS holds it: 8 data bits, 2 stop bits, no parity, no flow control
    ASSERT_EQ(tcgetattr(slave, &line), 0);
    EXPECT_EQ(line.c_cflag & (CSIZE | CSTOPB | PARENB | CRTSCTS), tcflag_t{CS8 | CSTOPB});
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0); // ^C, ^S, ^D, CR and LF among them
    Send(all);
    Bytes got(256);
    EXPECT_EQ(port.ReadBlock(got.data(), 256), 1);
    EXPECT_EQ(got, all);
    pollfd entry{master, POLLIN, 0}; // nothing echoed back
    EXPECT_EQ(poll(&entry, 1, 100), 0);
    Send({0xFF});
    EXPECT_EQ(port.ReadByte(), 255); // not -1, the failure
}

// A read keeps what came before its time-out; a full line fails the write at
// its own; a hang-up ends even a long wait at once.
TEST_F(Rs232classTest, TransfersFailAtTheirTimeoutElseAtOnceOnHangUp) {
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(200));
    Send({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    Bytes got(8);
    EXPECT_EQ(port.ReadBlock(got.data(), 8), 1);
    auto start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    EXPECT_EQ(port.ReadBlock(got.data(), 8), -1);
    EXPECT_LT(std::clock() - cpuStart, CLOCKS_PER_SEC / 20); // waited, did not spin
    EXPECT_EQ(port.BytesRead(), 5u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 5), (Bytes{9, 10, 11, 12, 13}));
    Bytes block(256 * 1024); // far more than the line holds while nobody reads
    EXPECT_EQ(port.WriteBlock(block.data(), static_cast<int>(block.size())), -1);
    EXPECT_GE(MsSince(start), 395);
    EXPECT_LT(MsSince(start), 2000);
    ASSERT_NE(port.SetTimeouts(5000, 5000), 0);
    close(master);
    master = -1;
    start = Clock::now();
    EXPECT_EQ(port.ReadBlock(got.data(), 8), -1);
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(Rs232classTest, OpenPurgesAndFlushDrainsUntilOneSilentTimeout) {
    Send({'o', 'l', 'd'}); // waiting in the line before the port opens
    ASSERT_NO_FATAL_FAILURE(OpenConfigured(300));
    EXPECT_EQ(port.ReadByte(), -1);
    std::thread device([this] { // arrives after the purge, within the silence
        std::this_thread::sleep_for(50ms);
        Send({1});
    });
    EXPECT_EQ(port.FlushPort(), 1);
    device.join();
    EXPECT_EQ(port.ReadByte(), -1);
}

// What bounds tcdrain and a close that waits for unsent bytes; a pseudo-
// terminal queues nothing, so it is shown here on a wait far longer than the limit.
TEST(BlockingLimit, EndsALongWaitOfItsThreadAtTheLimitAndAgainUntilGone) {
    const auto start = Clock::now();
    {
        const serialport::BlockingLimit limit(100ms);
        EXPECT_EQ(poll(nullptr, 0, 1000), -1);
        EXPECT_GE(MsSince(start), 99);
        EXPECT_EQ(poll(nullptr, 0, 1000), -1);
        EXPECT_LT(MsSince(start), 300);
    }
    EXPECT_EQ(poll(nullptr, 0, 100), 0);
}

} // namespace
