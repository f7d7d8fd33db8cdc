// A whole run in-process against the simulated device, found as COM5 from a
// fresh current directory, on a clock that strikes one second with each item
// the device receives. Failures of the run are the end-to-end and fault tests' part.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "B4kSimulator.h"
#include "Runlog.h"
#include "Tempdir.h"
#include "app/Downloaddriver.h"
#include "runtime/Calendarclock.h"

// The simulator's options name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

// The device the clock follows.
static const B4kSimulator* device = nullptr;

// The query's record fails its comparison with the device's type, which is
// the answer still. The download time counts from before discovery: the
// wake-up and the query are in it.
TEST(DownloadRun, QueryTakesTheTypeOfAFailedComparisonAndTheTimeCountsFromDiscovery) {
    Tempdir dir;
    B4kSimulator sim({.device = {.moduleType = kModuleType},
                      .portDir = dir.Path(),
                      .comNumber = 5,
                      .sysfsDir = dir.File("sys")});
    setenv("ZUL_PORT_DIR", dir.Path().c_str(), 1);
    setenv("ZUL_SYSFS_ROOT", dir.File("sys").c_str(), 1);
    ASSERT_TRUE(sim.Start()) << sim.Error();
    device = &sim;
    TCalendarClock::Use([] { return std::time_t{1000} + std::ssize(device->Capture()); });
    std::filesystem::current_path(dir.Path());
    WriteBytes("AskModuleType.ctf", std::vector<std::uint8_t>(1000, 'x')); // replaced whole
    WriteBytes("fw.ctf", kModuleRecord);
    const char* const args[] = {"tool", "--if", "fw.ctf", "--of", "run.log", "--infomod", "m"};
    EXPECT_EQ(RunDownload(7, args), 1);
    TCalendarClock::Use(nullptr);
    EXPECT_EQ(ReadBytes("m"), LittleEndian(kModuleType));
    EXPECT_EQ(ReadBytes("AskModuleType.ctf"), kQueryRecord);
    // The wake-up, the query's connect and three records, the download's connect and record.
    EXPECT_EQ(sim.CapturedFrames(), (std::vector{kConnectFrame, kQueryRecord, kQueryRecord,
                                                 kQueryRecord, kConnectFrame, kModuleRecord}));
    EXPECT_EQ(Mask(ReadText("run.log")).seconds, 7);
}
