// The Windows build of the tool under Wine against simulated devices on
// pseudo-terminals. In the prefix that the caller set up (WINEPREFIX), COM n
// is dosdevices/com<n>, here a link to a device's terminal, and the device's
// PORTNAME is written into the prefix's registry with reg.exe. Every case
// shares that registry and those links, so CTest runs them one at a time.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "B4kSimulator.h"
#include "Runlog.h"
#include "Toolbench.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Args = std::vector<std::string>;

// Above the COM ports that Wine maps to the host's own serial devices.
constexpr int kDiscoveredCom = 205;
constexpr int kForcedCom = 207;
const std::string kFoundCom = "\r\nB4K auto detection gave COM 205";

const std::string kDeviceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2C7A&PID_0001";
const std::string kDeviceParameters = kDeviceKey + "\\DEMO_1.000\\Device Parameters";

const Args kMatchingIdentification = {"--msv", "167",      "--ssv", "300",
                                      "--mt",  "00C0FFEE", "--bt",  "0x65482c80"};

std::vector<Bytes> Firmware() {
    // clang-format off
    return {kModuleRecord, kRevisionRecord, kBuildTimeRecord, MakeFrame(3, {0x01}),
            MakeFrame(5, {0x10, 0x20}), MakeFrame(9, Bytes(16, 0x99)), MakeFrame(11, {}),
            MakeFrame(14, Bytes(2, 0x01)), MakeFrame(16, Bytes(40, 0x16))};
    // clang-format on
}

// Never without a prefix of the caller's: Wine would make one in $HOME.
ProcessResult Wine(const Args& args, const std::string& workingDirectory = "",
                   StandardOutput output = StandardOutput::Collected) {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix == nullptr || !fs::is_directory(fs::path(prefix) / "dosdevices")) {
        ADD_FAILURE() << "WINEPREFIX must name an initialised prefix (wineboot -i)";
        return {};
    }
    ProcessOptions options;
    options.workingDirectory = workingDirectory;
    options.env = {{"WINEDEBUG", "-all"}, {"TZ", "UTC"}}; // Wine's own notes stay off stderr
    options.timeoutSeconds = 90;
    options.output = output;
    return RunProcess(ZUL_WINE, args, options);
}

void Reg(Args args) {
    args.insert(args.begin(), "reg");
    const ProcessResult result = Wine(args);
    ASSERT_EQ(result.exitStatus, 0) << result.out << result.err;
}

void SetPortName(const std::string& value) {
    Reg({"add", kDeviceParameters, "/v", "PORTNAME", "/t", "REG_SZ", "/d", value, "/f"});
}

void RemoveDeviceKey() {
    Wine({"reg", "delete", kDeviceKey, "/f"}); // fails when there is none: just as good
}

// Console streams are in text mode on Windows: each line feed leaves as CR LF.
std::string TextMode(const std::string& text) {
    std::string out;
    for (const char c : text) {
        out += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return out;
}

// What a Linux caller of wine sees: the low 8 bits of the exit code, except
// that Wine gives 1 for a failure whose low 8 bits are all 0.
int WineStatus(std::int32_t code) {
    return code != 0 && (code & 0xFF) == 0 ? 1 : code & 0xFF;
}

// The run's time also holds Wine's start-up, which can take seconds when
// the prefix's server and services have to start first.
void ExpectWineDownloadTime(const MaskedLog& log, const ProcessResult& result) {
    constexpr double kWineStartSeconds = 10;
    EXPECT_GE(log.seconds, 0);
    EXPECT_LE(log.seconds, result.seconds + 1);
    EXPECT_GE(log.seconds + 2 + kWineStartSeconds, result.seconds);
}

class WineBench {
  public:
    WineBench() {
        const char* prefix = std::getenv("WINEPREFIX");
        dosdevices = prefix != nullptr ? fs::path(prefix) / "dosdevices" : fs::path();
    }
    ~WineBench() {
        for (const fs::path& link : links) {
            fs::remove(link);
        }
    }
    WineBench(const WineBench&) = delete;
    WineBench& operator=(const WineBench&) = delete;

    // A device on COM `com`, which nothing but the link names.
    const B4kSimulator& Attach(const DeviceConfig& config, int com) {
        SimulatorOptions options;
        options.device = config;
        devices.push_back(std::make_unique<B4kSimulator>(options));
        EXPECT_TRUE(devices.back()->Start()) << devices.back()->Error();
        if (dosdevices.empty()) {
            return *devices.back();
        }
        links.push_back(dosdevices / ("com" + std::to_string(com)));
        fs::remove(links.back());
        fs::create_symlink(devices.back()->SlavePath(), links.back());
        return *devices.back();
    }

    ProcessResult Run(const Args& extra, bool withFiles = true) const {
        Args args = {ZUL_WINDOWS_TOOL};
        if (withFiles) {
            args.insert(args.end(), kRunFiles.begin(), kRunFiles.end());
        }
        args.insert(args.end(), extra.begin(), extra.end());
        return Wine(args, WorkFolder(), files.output);
    }

    // The exit code as a Windows parent process sees it.
    std::int32_t RunAsWindowsCaller(const Args& extra, bool withFiles = true) const {
        const std::string codeFile = results.File("code.txt");
        fs::remove(codeFile);
        Args args = {ZUL_WINDOWS_CALLER, "run", "Z:" + codeFile, ZUL_WINDOWS_TOOL};
        if (withFiles) {
            args.insert(args.end(), kRunFiles.begin(), kRunFiles.end());
        }
        args.insert(args.end(), extra.begin(), extra.end());
        const ProcessResult result = Wine(args, WorkFolder());
        const std::string code = ReadText(codeFile);
        EXPECT_FALSE(code.empty()) << result.err;
        EXPECT_EQ(result.exitStatus, code.empty() ? -1 : WineStatus(std::stoi(code)));
        return code.empty() ? 0 : std::stoi(code);
    }

    ToolBench files; // the working folder and its files

  private:
    std::string WorkFolder() const { return fs::path(files.File("fw.ctf")).parent_path().string(); }

    fs::path dosdevices;
    Tempdir results;
    std::vector<std::unique_ptr<B4kSimulator>> devices;
    std::vector<fs::path> links;
};

// A PORTNAME of more than the first 128-byte buffer takes a second query.
TEST(WineEndToEnd, DiscoveryThroughTheRegistryAndASuccessfulDownload) {
    for (const bool longValue : {false, true}) {
        SCOPED_TRACE(longValue ? "long value" : "COM205");
        ASSERT_NO_FATAL_FAILURE(SetPortName("COM" + std::string(longValue ? 200 : 0, '0') + "205"));
        WineBench bench;
        DeviceConfig config = DefaultDevice();
        config.baud = 166666; // replies trickle in at the line's rate
        const B4kSimulator& sim = bench.Attach(config, kDiscoveredCom);
        const std::vector<Bytes> firmware = Firmware();
        bench.files.WriteFirmware(firmware);
        Args args = kMatchingIdentification;
        args.push_back("--v");
        const ProcessResult result = bench.Run(args);
        EXPECT_EQ(result.exitStatus, 1);

        const std::string log = bench.files.Log();
        const MaskedLog masked = Mask(log);
        EXPECT_EQ(masked.text, kHeader + kFoundCom + Info(kModuleType, kModuleType) + Outcome(1));
        ExpectWineDownloadTime(masked, result);
        EXPECT_TRUE(result.out.starts_with(TextMode("\r\nDownload : 000 %"))) << result.out;
        EXPECT_TRUE(result.out.ends_with(TextMode("\rDownload : 100 %" + log + "\r\n")))
            << result.out;
        EXPECT_EQ(result.err, "");

        EXPECT_EQ(bench.files.Read("progress.bin"), Bytes{100});
        EXPECT_EQ(bench.files.Read("module.bin"), LittleEndian(kModuleType));
        EXPECT_EQ(bench.files.Read("AskModuleType.ctf"), kQueryRecord);
        EXPECT_EQ(bench.files.Files(), kAllFiles);
        EXPECT_EQ(Received(sim), Traffic(kQuery, firmware, firmware.size()));
        ASSERT_FALSE(sim.Capture().empty());
        EXPECT_EQ(sim.Capture().front().kind, CaptureKind::WakeUp);
    }
}

// The error lines carry the system's own text for the code; the port given
// on the command line still reaches the device.
TEST(WineEndToEnd, FailedDiscoveryPrintsTheSystemsMessageAndTheForcedPortServes) {
    const ProcessResult message = Wine({ZUL_WINDOWS_CALLER, "message", "2"});
    ASSERT_EQ(message.exitStatus, 0);
    const std::string noValue = "\r\n[RegOpenKeyEx|QueryStringValue] Erreur(2): " + message.out;
    for (const bool keyWithoutValue : {false, true}) {
        SCOPED_TRACE(keyWithoutValue ? "key without value" : "no key");
        RemoveDeviceKey();
        if (keyWithoutValue) {
            ASSERT_NO_FATAL_FAILURE(Reg({"add", kDeviceParameters, "/f"}));
        }
        WineBench bench;
        const B4kSimulator& sim = bench.Attach(DefaultDevice(), kForcedCom);
        const std::vector<Bytes> firmware = Firmware();
        bench.files.WriteFirmware(firmware);
        const ProcessResult result = bench.Run({"--com", std::to_string(kForcedCom)});
        EXPECT_EQ(result.exitStatus, 1);
        EXPECT_EQ(Mask(bench.files.Log()).text,
                  kHeader + kFoundNothing + Info(kModuleType, kModuleType) + Outcome(1));
        EXPECT_EQ(result.out, TextMode("\r\n"));
        EXPECT_EQ(result.err, TextMode(keyWithoutValue ? noValue : "\r\n[RegOpenKeyEx]" + noValue));
        EXPECT_EQ(bench.files.Read("progress.bin"), Bytes{100});
        EXPECT_EQ(Received(sim), Traffic(kQuery, firmware, firmware.size()));
    }
}

// Every reply to type 3 spoilt: three attempts, then -1 for the run; the
// progress stays at that of the frame before.
TEST(WineEndToEnd, AWorkerFailureBecomesTheExitCode) {
    ASSERT_NO_FATAL_FAILURE(SetPortName("COM205"));
    WineBench bench;
    DeviceConfig config = DefaultDevice();
    config.corruptType = 3;
    const B4kSimulator& sim = bench.Attach(config, kDiscoveredCom);
    const std::vector<Bytes> firmware = Firmware();
    bench.files.WriteFirmware(firmware);
    EXPECT_EQ(bench.RunAsWindowsCaller({}), -1);
    EXPECT_EQ(Mask(bench.files.Log()).text,
              kHeader + kFoundCom + Info(kModuleType, kModuleType) + Failed(-1));
    const int progress = ProgressAfter(firmware, 2);
    EXPECT_EQ(bench.files.Read("progress.bin"), Bytes{static_cast<std::uint8_t>(progress)});
    std::vector<Bytes> expected = Traffic(kQuery, firmware, 3);
    expected.insert(expected.end(), 3, firmware[3]);
    EXPECT_EQ(Received(sim), expected);
}

// A Windows caller sees the whole 32-bit result; wine hands Linux its low
// 8 bits, and 1 for -256, which a Linux caller cannot tell from success.
TEST(WineEndToEnd, ExitCodesAsWindowsAndLinuxCallersSeeThem) {
    ASSERT_NO_FATAL_FAILURE(SetPortName("COM205"));
    const struct {
        Args args;
        bool withFiles;
        std::int32_t code;
        int linuxStatus;
    } cases[] = {
        {{"--of", "run.log"}, false, -261, 251},
        {{"--msv", "166"}, true, -256, 1},
        {{"--msv", "167", "--ssv", "4"}, true, -257, 255},
        {kMatchingIdentification, true, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        WineBench bench;
        bench.Attach(DefaultDevice(), kDiscoveredCom);
        bench.files.WriteFirmware(Firmware());
        EXPECT_EQ(bench.RunAsWindowsCaller(c.args, c.withFiles), c.code);
        const ProcessResult direct = bench.Run(c.args, c.withFiles);
        EXPECT_EQ(direct.exitStatus, c.linuxStatus);
        EXPECT_EQ(direct.exitStatus, WineStatus(c.code));
    }
}

// Standard output a pipe whose reader has gone: the run still ends as its own.
TEST(WineEndToEnd, AConsoleWhoseReaderHasGoneChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(SetPortName("COM205"));
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose ? "--v" : "quiet");
        WineBench bench;
        const B4kSimulator& sim = bench.Attach(DefaultDevice(), kDiscoveredCom);
        const std::vector<Bytes> firmware = Firmware();
        bench.files.WriteFirmware(firmware);
        bench.files.output = StandardOutput::ReaderGone;
        EXPECT_EQ(bench.Run(verbose ? Args{"--v"} : Args{}).exitStatus, 1);
        EXPECT_EQ(Mask(bench.files.Log()).text,
                  kHeader + kFoundCom + Info(kModuleType, kModuleType) + Outcome(1));
        EXPECT_EQ(bench.files.Read("progress.bin"), Bytes{100});
        EXPECT_EQ(Received(sim), Traffic(kQuery, firmware, firmware.size()));
    }
}

} // namespace
