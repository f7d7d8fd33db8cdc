#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "B4kSimulator.h"
#include "Tempdir.h"
#include "app/Devicedetection.h"
#include "app/Moduletypequery.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes kQueryFrame = {0x5B, 0x12, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x5D};

// The simulated device as COM3, the run's port open on it, and the query's
// current directory a fresh folder.
struct QueryBench {
    Tempdir dir;
    B4kSimulator sim;
    TRS232Class port;
    std::filesystem::path previousDirectory = std::filesystem::current_path();

    explicit QueryBench(const DeviceConfig& config) : sim(Options(config, dir)) {
        setenv("ZUL_PORT_DIR", dir.Path().c_str(), 1);
        EXPECT_TRUE(sim.Start()) << sim.Error();
        EXPECT_EQ(port.OpenPort(3), 1);
        port.ConfigurePort(166666, 8, 0, 2);
        serialPort = &port;
        std::filesystem::current_path(dir.Path());
    }
    ~QueryBench() {
        serialPort = nullptr;
        std::filesystem::current_path(previousDirectory);
    }
    static SimulatorOptions Options(const DeviceConfig& config, const Tempdir& dir) {
        SimulatorOptions options;
        options.device = config;
        options.portDir = dir.Path().string();
        options.comNumber = 3;
        return options;
    }
};

} // namespace

TEST(ModuleTypeQuery, TakesTheTypeFromTheRecordsFailedComparison) {
    DeviceConfig config;
    config.moduleType = 0x01020304;
    QueryBench bench(config);
    WriteBytes(bench.dir.File("AskModuleType.ctf"), Bytes(1000, 'x')); // replaced whole
    std::uint32_t moduleType = 7;
    EXPECT_EQ(QueryModuleType(moduleType), 1);
    EXPECT_EQ(moduleType, 0x01020304u);
    EXPECT_EQ(ReadBytes(bench.dir.File("AskModuleType.ctf")), kQueryFrame);
    bench.sim.WaitForItems(4, 1000);
    const auto frames = bench.sim.CapturedFrames();
    ASSERT_EQ(frames.size(), 4u); // the connect frame, then the record three times
    for (std::size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i], kQueryFrame);
    }
}

TEST(ModuleTypeQuery, DeviceOfTypeAllOnesSucceedsAtOnce) {
    DeviceConfig config;
    config.moduleType = 0xFFFFFFFF;
    QueryBench bench(config);
    std::uint32_t moduleType = 0;
    EXPECT_EQ(QueryModuleType(moduleType), 1);
    EXPECT_EQ(moduleType, 0xFFFFFFFFu);
    bench.sim.WaitForItems(2, 1000);
    EXPECT_EQ(bench.sim.CapturedFrames().size(), 2u);
}

TEST(ModuleTypeQuery, FailuresLeaveTheTypeAsItWas) {
    DeviceConfig silent;
    silent.silent = true;
    {
        QueryBench bench(silent); // no connect acknowledgement: the window closes
        std::uint32_t moduleType = 7;
        EXPECT_EQ(QueryModuleType(moduleType), -1);
        EXPECT_EQ(moduleType, 7u);
    }
    {
        QueryBench bench(DeviceConfig{});
        // A current directory that is gone takes no query file: nothing is sent.
        std::filesystem::current_path(bench.dir.Path());
        const std::filesystem::path gone = bench.dir.Path() / "gone";
        std::filesystem::create_directory(gone);
        std::filesystem::current_path(gone);
        std::filesystem::remove(gone);
        std::uint32_t moduleType = 7;
        EXPECT_EQ(QueryModuleType(moduleType), -1);
        EXPECT_EQ(moduleType, 7u);
        EXPECT_FALSE(bench.sim.WaitForItems(1, 300));
    }
}
