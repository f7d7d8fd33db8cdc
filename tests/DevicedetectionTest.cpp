// Device detection in-process against simulated devices: the discovered
// port comes from a simulator's fake sysfs tree, forced ports are links.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <termios.h>
#include <tuple>
#include <unistd.h>

#include "B4kSimulator.h"
#include "Tempdir.h"
#include "Tickingclock.h"
#include "app/Devicedetection.h"
#include "app/Logfile.h"
#include "runtime/Calendarclock.h"

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
    void TearDown() override { TCalendarClock::Use(nullptr); }

    Tempdir dir;
    TRS232Class port;
    TSerialCOMPortEnumeration discovery;
    FilePointer log{std::tmpfile()};
};

// The forced port is the fallback when discovery finds no device. A silent
// device counts once its answer's time-out has passed.
TEST_F(DeviceDetection, TakesTheDiscoveredPortElseTheForcedOneEvenWhenItStaysSilent) {
    SimulatorOptions atDiscovered, atForced;
    atDiscovered.device.silent = atForced.device.silent = true;
    atDiscovered.portDir = atForced.portDir = dir.Path().string();
    atDiscovered.comNumber = 4;
    atForced.comNumber = 8;
    for (const bool listed : {true, false}) {
        SCOPED_TRACE(listed ? "listed" : "not listed");
        atDiscovered.sysfsDir = listed ? dir.File("sys") : "";
        B4kSimulator discovered(atDiscovered), forced(atForced);
        ASSERT_TRUE(discovered.Start()) << discovered.Error();
        ASSERT_TRUE(forced.Start()) << forced.Error();
        detectionState = kDetectionSearching;
        const auto start = std::chrono::steady_clock::now();
        DetectDevice(log.get(), 8, std::time(nullptr));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
        EXPECT_EQ(detectionState, kDetectionFound);
        // The line as the probe asks for it.
        const serialport::LineSettings& asked = port.LineSettings();
        EXPECT_EQ(std::tuple(asked.baudRate, asked.byteSize, asked.parity, asked.stopBits),
                  std::tuple(166666u, 8, 0, 2));
        port.ClosePort();
        B4kSimulator& probed = listed ? discovered : forced;
        ASSERT_TRUE(probed.WaitForItems(1, 1000));
        const std::vector<std::uint8_t> wakeUp{'H', 'q', '3', 'v', 'T', '8', 'm', 'W', 'e'};
        EXPECT_EQ(probed.Capture()[0].bytes, wakeUp);
        EXPECT_FALSE((listed ? forced : discovered).WaitForItems(1, 200));
    }
}

// No port opens: the passes go on until the first whole-second reading more
// than 6 past the start.
TEST_F(DeviceDetection, GivesUpAtTheFirstReadingPastSixSeconds) {
    fs::create_symlink(dir.File("gone"), dir.File("COM9")); // a device not there
    TCalendarClock::Use(TickingClock);
    DetectDevice(log.get(), 9, 1000);
    EXPECT_EQ(detectionState, kDetectionSearching);
    EXPECT_EQ(clockReadings, 8); // 1000 to 1007, one a pass: the 8th is the first past 6
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
