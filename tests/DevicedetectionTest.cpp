// Device detection in-process against simulated devices: the discovered
// port comes from a simulator's fake sysfs tree, forced ports are links.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <termios.h>
#include <unistd.h>

#include "B4kSimulator.h"
#include "Tempdir.h"
#include "app/Devicedetection.h"
#include "app/Logfile.h"

namespace {

namespace fs = std::filesystem;

class DeviceDetection : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("ZUL_SYSFS_ROOT", dir.File("sys").c_str(), 1);
        setenv("ZUL_PORT_DIR", dir.Path().c_str(), 1);
        serialPort = &port;
        serialCOMPortEnumeration = &discovery;
        detectionState = kDetectionSearching;
    }
    void TearDown() override { port.ClosePort(); }

    // Seconds DetectDevice took, its start time taken just before.
    double Detect(std::uint8_t forcedPort) {
        const auto start = std::chrono::steady_clock::now();
        DetectDevice(log.get(), forcedPort, std::time(nullptr));
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    Tempdir dir;
    TRS232Class port;
    TSerialCOMPortEnumeration discovery;
    FilePointer log{std::tmpfile()};
};

// A silent device counts once its answer's time-out has passed.
TEST_F(DeviceDetection, TakesTheDiscoveredPortBeforeTheForcedOneEvenWhenItStaysSilent) {
    SimulatorOptions discovered, forced;
    discovered.device.silent = true;
    discovered.portDir = forced.portDir = dir.Path().string();
    discovered.comNumber = 4;
    forced.comNumber = 8;
    discovered.sysfsDir = dir.File("sys");
    B4kSimulator found(discovered), other(forced);
    ASSERT_TRUE(found.Start()) << found.Error();
    ASSERT_TRUE(other.Start()) << other.Error();
    EXPECT_GE(Detect(8), 0.9);
    EXPECT_EQ(detectionState, kDetectionFound);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.LineSettings().baudRate, 166666u);
    ASSERT_TRUE(found.WaitForItems(1, 1000));
    EXPECT_FALSE(found.WaitForItems(2, 200));
    const std::string wakeUp = "Hq3vT8mWe";
    EXPECT_EQ(found.Capture()[0].bytes, std::vector<std::uint8_t>(wakeUp.begin(), wakeUp.end()));
    EXPECT_FALSE(other.WaitForItems(1, 200));
}

TEST_F(DeviceDetection, GivesUpAfterMoreThanSixSecondsWhenNoPortOpens) {
    fs::create_symlink(dir.File("gone"), dir.File("COM9")); // a device not there
    const double seconds = Detect(9);
    EXPECT_EQ(detectionState, kDetectionSearching);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_GT(seconds, 6.0);
    EXPECT_LT(seconds, 7.5);
}

TEST_F(DeviceDetection, ProbeClosesThePortWhenTheWakeUpCannotBeWritten) {
    // COM5 opens, but its output is suspended: the write times out.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_EQ(tcflow(slave, TCOOFF), 0);
    fs::create_symlink(ptsname(master), dir.File("COM5"));
    EXPECT_EQ(ProbeDevice(5), -1);
    EXPECT_FALSE(port.IsOpen());
    close(slave);
    close(master);
}

} // namespace
