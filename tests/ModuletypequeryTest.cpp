// The module type query against the simulated device as COM3, from a fresh
// current directory. Its failures are the end-to-end and fault tests' part.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "B4kSimulator.h"
#include "Tempdir.h"
#include "Testframes.h"
#include "app/Devicedetection.h"
#include "app/Moduletypequery.h"

// The simulator's options name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

// A device of another type fails the record's comparison; its type is the answer still.
TEST(ModuleTypeQuery, TakesTheTypeFromTheRecordsFailedComparison) {
    Tempdir dir;
    B4kSimulator sim({.device = {.moduleType = 0x01020304}, .portDir = dir.Path(), .comNumber = 3});
    setenv("ZUL_PORT_DIR", dir.Path().c_str(), 1);
    ASSERT_TRUE(sim.Start()) << sim.Error();
    TRS232Class port;
    ASSERT_EQ(port.OpenPort(3), 1);
    port.ConfigurePort(166666, 8, 0, 2);
    serialPort = &port;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    WriteBytes("AskModuleType.ctf", std::vector<std::uint8_t>(1000, 'x')); // replaced whole
    std::uint32_t moduleType = 7;
    EXPECT_EQ(QueryModuleType(moduleType), 1);
    std::filesystem::current_path(previous);
    serialPort = nullptr;
    EXPECT_EQ(moduleType, 0x01020304u);
    const std::vector<std::uint8_t> query = MakeFrame(18, {0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(ReadBytes(dir.File("AskModuleType.ctf")), query);
    sim.WaitForItems(4, 1000); // the connect frame, then the record three times
    EXPECT_EQ(sim.CapturedFrames(), (std::vector{kConnectFrame, query, query, query}));
}
