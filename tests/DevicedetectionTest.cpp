// Device detection in-process against simulated devices: the discovered
// port comes from a simulator's fake sysfs tree, forced ports are links.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "B4kSimulator.h"
#include "Tempdir.h"
#include "app/Devicedetection.h"
#include "app/Logfile.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class DeviceDetection : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("ZUL_SYSFS_ROOT", dir.File("sys").c_str(), 1);
        setenv("ZUL_PORT_DIR", dir.File("dev").c_str(), 1);
        fs::create_directories(dir.Path() / "dev");
        // COM9 names a device that is not there.
        fs::create_symlink(dir.File("gone"), dir.Path() / "dev" / "COM9");
        ASSERT_NE(log, nullptr);
        serialPort = &port;
        serialCOMPortEnumeration = &discovery;
        detectionState = kDetectionSearching;
    }
    void TearDown() override {
        port.ClosePort();
        serialPort = nullptr;
        serialCOMPortEnumeration = nullptr;
        detectionState = kDetectionSearching;
    }

    SimulatorOptions Device(int com, bool discoverable, bool silent = false) const {
        SimulatorOptions options;
        options.device.silent = silent;
        options.portDir = dir.File("dev");
        options.comNumber = com;
        options.sysfsDir = discoverable ? dir.File("sys") : "";
        return options;
    }
    // Seconds DetectDevice took, its start time taken just before.
    double Detect(std::uint8_t forcedPort) {
        const Clock::time_point start = Clock::now();
        testing::internal::CaptureStderr();
        DetectDevice(log.get(), forcedPort, std::time(nullptr));
        errors = testing::internal::GetCapturedStderr();
        return SecondsSince(start);
    }
    std::string Log() const {
        std::string text(static_cast<std::size_t>(std::ftell(log.get())), '\0');
        std::rewind(log.get());
        EXPECT_EQ(std::fread(text.data(), 1, text.size(), log.get()), text.size());
        return text;
    }
    // Found: the port is open and configured on `sim`, which got one wake-up string.
    void ExpectFoundOn(const B4kSimulator& sim) const {
        EXPECT_EQ(detectionState, kDetectionFound);
        ASSERT_TRUE(port.IsOpen());
        struct stat opened {};
        struct stat slave {};
        ASSERT_EQ(fstat(static_cast<int>(port.PortHandle()), &opened), 0);
        ASSERT_EQ(stat(sim.SlavePath().c_str(), &slave), 0);
        EXPECT_EQ(opened.st_rdev, slave.st_rdev);
        EXPECT_EQ(port.LineSettings().baudRate, 166666u);
        ASSERT_TRUE(sim.WaitForItems(1, 1000));
        EXPECT_FALSE(sim.WaitForItems(2, 200));
        EXPECT_EQ(sim.Capture()[0].kind, CaptureKind::WakeUp);
        const std::string wakeUp = "Hq3vT8mWe";
        EXPECT_EQ(sim.Capture()[0].bytes, std::vector<std::uint8_t>(wakeUp.begin(), wakeUp.end()));
    }

    Tempdir dir;
    TRS232Class port;
    TSerialCOMPortEnumeration discovery;
    FilePointer log{std::tmpfile()};
    std::string errors;
};

TEST_F(DeviceDetection, TakesTheDiscoveredPortAfterOneWakeUpEvenWhenItStaysSilent) {
    for (const bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "silent" : "answering");
        B4kSimulator sim(Device(1, true, silent));
        ASSERT_TRUE(sim.Start()) << sim.Error();
        detectionState = kDetectionSearching;
        const double seconds = Detect(0);
        ExpectFoundOn(sim);
        EXPECT_EQ(errors, "");
        EXPECT_GE(seconds, silent ? 0.9 : 0.0); // a silent device costs the answer's time-out
        port.ClosePort();
    }
    EXPECT_EQ(Log(), "\r\nB4K auto detection gave COM 1\r\nB4K auto detection gave COM 1");
}

TEST_F(DeviceDetection, FallsBackToTheForcedPortWhenDiscoveryFails) {
    B4kSimulator sim(Device(7, false));
    ASSERT_TRUE(sim.Start()) << sim.Error();
    Detect(7);
    EXPECT_EQ(Log(), "\r\nB4K auto detection gave COM 0");
    EXPECT_EQ(errors.rfind("\r\n[RegOpenKeyEx]\r\n", 0), 0u) << errors;
    ExpectFoundOn(sim);
}

TEST_F(DeviceDetection, NeverOpensTheForcedPortWhenTheDiscoveredOneAnswers) {
    B4kSimulator found(Device(4, true)), forced(Device(8, false));
    ASSERT_TRUE(found.Start()) << found.Error();
    ASSERT_TRUE(forced.Start()) << forced.Error();
    Detect(8);
    EXPECT_EQ(Log(), "\r\nB4K auto detection gave COM 4");
    ExpectFoundOn(found);
    EXPECT_FALSE(forced.WaitForItems(1, 200));
}

TEST_F(DeviceDetection, GivesUpAfterMoreThanSixSecondsWhenNoPortOpens) {
    const double seconds = Detect(9);
    EXPECT_EQ(detectionState, kDetectionSearching);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(Log(), "\r\nB4K auto detection gave COM 0");
    EXPECT_GT(seconds, 6.0);
    EXPECT_LT(seconds, 7.5);
}

TEST_F(DeviceDetection, ProbeFailsAndClosesThePortWhenTheWakeUpCannotBeWritten) {
    // COM5 opens, but its output is suspended: the write times out.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_EQ(tcflow(slave, TCOOFF), 0);
    fs::create_symlink(ptsname(master), dir.Path() / "dev" / "COM5");
    const struct {
        int portNumber;
        double minSeconds, maxSeconds;
    } cases[] = {{0, 0.0, 0.1}, {9, 0.0, 0.1}, {5, 0.9, 1.5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.portNumber);
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(ProbeDevice(static_cast<std::uint8_t>(c.portNumber)), -1);
        EXPECT_GE(SecondsSince(start), c.minSeconds);
        EXPECT_LT(SecondsSince(start), c.maxSeconds);
        EXPECT_FALSE(port.IsOpen());
    }
    close(slave);
    close(master);
}

} // namespace
