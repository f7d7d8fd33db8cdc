// The Windows build of the tool under Wine against simulated devices on
// pseudo-terminals. In the prefix that the caller set up (WINEPREFIX), COM n
// is dosdevices/com<n>, here a link to a device's terminal, and the device's
// PORTNAME is written into the prefix's registry with reg.exe. Every case
// shares that registry and those links, so CTest runs them one at a time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "Toolbench.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Args = std::vector<std::string>;

const std::string kDeviceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2C7A&PID_0001";
const std::string kDeviceParameters = kDeviceKey + "\\DEMO_1.000\\Device Parameters";
// Verbose, and each identification option as the file has it.
const Args kMatchingRun = {"--v",  "--msv",    "167",  "--ssv",     "300",
                           "--mt", "00C0FFEE", "--bt", "0x65482c80"};
const std::vector<Bytes> kFirmware = {
    kModuleRecord,        kRevisionRecord,       kBuildTimeRecord,
    MakeFrame(3, {0x01}), MakeFrame(5, {0x10}),  MakeFrame(9, Bytes(16, 0x99)),
    MakeFrame(11, {}),    MakeFrame(14, {0x01}), MakeFrame(16, Bytes(40, 0x16))};

fs::path dosdevices;

// Without a prefix of the caller's, Wine would make one in $HOME.
class WinePrefix : public testing::Environment {
    void SetUp() override {
        const char* prefix = std::getenv("WINEPREFIX");
        ASSERT_TRUE(prefix != nullptr && fs::is_directory(fs::path(prefix) / "dosdevices"))
            << "WINEPREFIX must name an initialised prefix (wineboot -i)";
        dosdevices = fs::path(prefix) / "dosdevices";
        setenv("ZUL_TOOL", ZUL_WINDOWS_TOOL, 1); // run through wine, the bench's launcher
        setenv("WINEDEBUG", "-all", 1);          // Wine's own notes stay off stderr
    }
};
testing::Environment* const kPrefix = testing::AddGlobalTestEnvironment(new WinePrefix);

void Wine(const Args& args) {
    const ProcessResult result = RunProcess(ZUL_WINE, args);
    ASSERT_EQ(result.exitStatus, 0) << result.out << result.err;
}

void SetPortName(const std::string& value) {
    Wine({"reg", "add", kDeviceParameters, "/v", "PORTNAME", "/t", "REG_SZ", "/d", value, "/f"});
}

// A bench whose device is on COM `com` of the prefix, which nothing but the link names.
struct WineBench : ToolBench {
    explicit WineBench(const DeviceConfig& config = DefaultDevice(), int com = 205)
        : sim(ToolBench::Attach(config, com, false)),
          link(dosdevices / ("com" + std::to_string(com))) {
        launcher = {ZUL_WINE};
        WriteFirmware(kFirmware);
        fs::remove(link);
        fs::create_symlink(sim.SlavePath(), link);
    }
    ~WineBench() { fs::remove(link); }

    const B4kSimulator& sim;
    const fs::path link;
};

} // namespace

// A PORTNAME of more than the first 128-byte buffer takes a second query.
TEST(WineEndToEnd, DiscoveryThroughTheRegistryAndASuccessfulDownload) {
    for (const std::string& zeros : {std::string(), std::string(200, '0')}) {
        SCOPED_TRACE(zeros.size());
        ASSERT_NO_FATAL_FAILURE(SetPortName("COM" + zeros + "205"));
        WineBench bench({.moduleType = kModuleType, .baud = 166666}); // replies trickle in
        const ProcessResult result = bench.Run(kMatchingRun);
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(Mask(bench.Log()).text, kHeader + "\r\nB4K auto detection gave COM 205" +
                                              Info(kModuleType, kModuleType) + Outcome(1));
        // Console streams are in text mode on Windows: each line feed leaves as CR LF.
        const std::string log = std::regex_replace(bench.Log(), std::regex("\n"), "\r\n");
        EXPECT_TRUE(result.out.starts_with("\r\r\nDownload : 000 %")) << result.out;
        EXPECT_TRUE(result.out.ends_with("\rDownload : 100 %" + log + "\r\r\n")) << result.out;
        EXPECT_EQ(Received(bench.sim), Traffic(kQuery, kFirmware, kFirmware.size()));
    }
}

// The error lines end with the system's own text for the code; the port
// given on the command line still reaches the device.
TEST(WineEndToEnd, FailedDiscoveryPrintsTheSystemsMessageAndTheForcedPortServes) {
    for (const bool keyWithoutValue : {false, true}) {
        SCOPED_TRACE(keyWithoutValue ? "key without value" : "no key");
        RunProcess(ZUL_WINE, {"reg", "delete", kDeviceKey, "/f"}); // fails when there is none
        if (keyWithoutValue) {
            ASSERT_NO_FATAL_FAILURE(Wine({"reg", "add", kDeviceParameters, "/f"}));
        }
        WineBench bench(DefaultDevice(), 207);
        const ProcessResult result = bench.Run({"--com", "207"});
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(Mask(bench.Log()).text,
                  kHeader + kFoundNothing + Info(kModuleType, kModuleType) + Outcome(1));
        const std::string head = std::string(keyWithoutValue ? "" : "\r\r\n[RegOpenKeyEx]") +
                                 "\r\r\n[RegOpenKeyEx|QueryStringValue] Erreur(2): ";
        ASSERT_TRUE(result.err.starts_with(head)) << result.err;
        // The system's text, which ends with CR LF (CR CR LF in text mode).
        const std::string message = result.err.substr(head.size());
        EXPECT_TRUE(message.size() > 3 && message.ends_with("\r\r\n") &&
                    !message.starts_with("Unknown error"))
            << message;
        EXPECT_EQ(Received(bench.sim), Traffic(kQuery, kFirmware, kFirmware.size()));
    }
}

// A Windows parent sees the whole 32-bit result; wine hands Linux its low 8
// bits, and 1 for -256, which a Linux caller cannot tell from success. A
// standard output whose reader has gone does not change a download's end.
TEST(WineEndToEnd, ExitCodesAsWindowsAndLinuxCallersSeeThem) {
    ASSERT_NO_FATAL_FAILURE(SetPortName("COM205"));
    const std::vector<std::tuple<Args, bool, std::int32_t, int>> rows = {
        {{"--of", "run.log"}, false, -261, 251},
        {{"--msv", "166"}, true, -256, 1},
        {{"--msv", "167", "--ssv", "4"}, true, -257, 255},
        {kMatchingRun, true, 1, 1},
    };
    for (const auto& [args, withFiles, code, linuxStatus] : rows) {
        SCOPED_TRACE(code);
        WineBench bench;
        bench.output = code == 1 ? StandardOutput::ReaderGone : StandardOutput::Collected;
        EXPECT_EQ(bench.Run(args, withFiles).exitStatus, linuxStatus);
        // A Windows parent: cmd, which prints the code it got.
        bench.output = StandardOutput::Collected;
        bench.launcher = {ZUL_WINE, "cmd", "/v:on", "/c"};
        Args command = args;
        command.insert(command.end(), {"&", "echo", "!ERRORLEVEL!"});
        const ProcessResult caller = bench.Run(command, withFiles);
        EXPECT_TRUE(("\n" + caller.out).ends_with("\n" + std::to_string(code) + "\r\n"))
            << caller.out;
    }
}
