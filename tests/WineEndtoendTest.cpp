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
const std::string kFoundCom = "\r\nB4K auto detection gave COM 205";
const Args kMatchingIdentification = {"--msv", "167",      "--ssv", "300",
                                      "--mt",  "00C0FFEE", "--bt",  "0x65482c80"};
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

void Reg(const Args& args) {
    Args command = {"reg"};
    command.insert(command.end(), args.begin(), args.end());
    const ProcessResult result = RunProcess(ZUL_WINE, command);
    ASSERT_EQ(result.exitStatus, 0) << result.out << result.err;
}

void SetPortName(const std::string& value) {
    Reg({"add", kDeviceParameters, "/v", "PORTNAME", "/t", "REG_SZ", "/d", value, "/f"});
}

// Console streams are in text mode on Windows: each line feed leaves as CR LF.
std::string TextMode(const std::string& text) {
    return std::regex_replace(text, std::regex("\n"), "\r\n");
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
    for (const std::string zeros : {"", std::string(200, '0')}) {
        SCOPED_TRACE(zeros.size());
        ASSERT_NO_FATAL_FAILURE(SetPortName("COM" + zeros + "205"));
        DeviceConfig config = DefaultDevice();
        config.baud = 166666; // replies trickle in at the line's rate
        WineBench bench(config);
        Args args = kMatchingIdentification;
        args.push_back("--v");
        const ProcessResult result = bench.Run(args);
        EXPECT_EQ(result.exitStatus, 1);
        const std::string log = bench.Log();
        const MaskedLog masked = Mask(log);
        EXPECT_EQ(masked.text, kHeader + kFoundCom + Info(kModuleType, kModuleType) + Outcome(1));
        // The run's time also holds Wine's start-up: seconds when its services start first.
        EXPECT_GE(masked.seconds, 0);
        EXPECT_LE(masked.seconds, result.seconds + 1);
        EXPECT_GE(masked.seconds + 12, result.seconds);
        EXPECT_TRUE(result.out.starts_with(TextMode("\r\nDownload : 000 %"))) << result.out;
        EXPECT_TRUE(result.out.ends_with(TextMode("\rDownload : 100 %" + log + "\r\n")))
            << result.out;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(bench.Read("progress.bin"), Bytes{100});
        EXPECT_EQ(bench.Read("module.bin"), LittleEndian(kModuleType));
        EXPECT_EQ(bench.Read("AskModuleType.ctf"), kQueryRecord);
        EXPECT_EQ(bench.Files(), kAllFiles);
        EXPECT_EQ(Received(bench.sim), Traffic(kQuery, kFirmware, kFirmware.size()));
    }
}

// The error lines carry the system's own text for the code; the port given
// on the command line still reaches the device.
TEST(WineEndToEnd, FailedDiscoveryPrintsTheSystemsMessageAndTheForcedPortServes) {
    const ProcessResult message = RunProcess(ZUL_WINE, {ZUL_WINDOWS_CALLER, "message", "2"});
    ASSERT_EQ(message.exitStatus, 0);
    const std::string noValue = "\r\n[RegOpenKeyEx|QueryStringValue] Erreur(2): " + message.out;
    for (const bool keyWithoutValue : {false, true}) {
        SCOPED_TRACE(keyWithoutValue ? "key without value" : "no key");
        RunProcess(ZUL_WINE, {"reg", "delete", kDeviceKey, "/f"}); // fails when there is none
        if (keyWithoutValue) {
            ASSERT_NO_FATAL_FAILURE(Reg({"add", kDeviceParameters, "/f"}));
        }
        WineBench bench(DefaultDevice(), 207);
        const ProcessResult result = bench.Run({"--com", "207"});
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(Mask(bench.Log()).text,
                  kHeader + kFoundNothing + Info(kModuleType, kModuleType) + Outcome(1));
        EXPECT_EQ(result.out, TextMode("\r\n"));
        EXPECT_EQ(result.err, TextMode(keyWithoutValue ? noValue : "\r\n[RegOpenKeyEx]" + noValue));
        EXPECT_EQ(Received(bench.sim), Traffic(kQuery, kFirmware, kFirmware.size()));
    }
}

// A Windows parent sees the whole 32-bit result; wine hands Linux its low 8
// bits, and 1 for -256, which a Linux caller cannot tell from success.
TEST(WineEndToEnd, ExitCodesAsWindowsAndLinuxCallersSeeThem) {
    ASSERT_NO_FATAL_FAILURE(SetPortName("COM205"));
    const struct {
        Args args;
        bool withFiles;
        int corruptType; // every reply to it spoilt: the worker fails
        std::int32_t code;
        int linuxStatus;
    } rows[] = {
        {{"--of", "run.log"}, false, 0, -261, 251},
        {{"--msv", "166"}, true, 0, -256, 1},
        {{"--msv", "167", "--ssv", "4"}, true, 0, -257, 255},
        {{}, true, 3, -1, 255},
        {kMatchingIdentification, true, 0, 1, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        DeviceConfig config = DefaultDevice();
        config.corruptType = row.corruptType;
        WineBench bench(config);
        EXPECT_EQ(bench.Run(row.args, row.withFiles).exitStatus, row.linuxStatus);
        // The Windows caller writes the code it got to code.txt, and exits with it.
        bench.launcher = {ZUL_WINE, ZUL_WINDOWS_CALLER, "run", "Z:" + bench.File("code.txt")};
        EXPECT_EQ(bench.Run(row.args, row.withFiles).exitStatus, row.linuxStatus);
        EXPECT_EQ(ReadText(bench.File("code.txt")), std::to_string(row.code));
    }
}

// Standard output a pipe whose reader has gone: the run still ends as its own.
TEST(WineEndToEnd, AConsoleWhoseReaderHasGoneChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(SetPortName("COM205"));
    WineBench bench;
    bench.output = StandardOutput::ReaderGone;
    EXPECT_EQ(bench.Run({"--v"}).exitStatus, 1);
    EXPECT_EQ(Mask(bench.Log()).text,
              kHeader + kFoundCom + Info(kModuleType, kModuleType) + Outcome(1));
    EXPECT_EQ(bench.Read("progress.bin"), Bytes{100});
    EXPECT_EQ(Received(bench.sim), Traffic(kQuery, kFirmware, kFirmware.size()));
}
