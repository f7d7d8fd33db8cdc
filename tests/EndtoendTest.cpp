// The built tool against simulated devices, from the command line to the
// exit status: log bytes, console, standard error, the progress and
// module-information files, and what the device received.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "B4kSimulator.h"
#include "Processrunner.h"
#include "Tempdir.h"
#include "Testframes.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Args = std::vector<std::string>;

// Exit statuses as the shell sees them.
constexpr int kSuccess = 1;
constexpr int kNoDevice = 254;      // -2
constexpr int kInvalidFile = 253;   // -3
constexpr int kMismatch = 240;      // -256
constexpr int kSubMismatch = 239;   // -257
constexpr int kLogNotCreated = 236; // -260
constexpr int kUsageError = 235;    // -261

constexpr std::uint32_t kModuleType = 0x00C0FFEE;
const Bytes kModuleRecord = MakeFrame(18, {0x00, 0xC0, 0xFF, 0xEE});
const Bytes kRevisionRecord = MakeFrame(20, {0x00, 0xA7, 0x01, 0x2C});  // 167.300
const Bytes kBuildTimeRecord = MakeFrame(22, {0x65, 0x48, 0x2C, 0x80}); // Nov 6 2023, midnight
const Bytes kQueryRecord = {0x5B, 0x12, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x5D};
const Bytes kConnectFrame = MakeFrame(
    1, {0x5C, 0x19, 0xE2, 0x07, 0xB4, 0x6A, 0x90, 0x3D, 0xC8, 0x71, 0x0E, 0xA5, 0x2F, 0x68, 0xD3});
const Bytes kFrame3 = MakeFrame(3, {0x01});
const Bytes kFrame5 = MakeFrame(5, {0x10, 0x20});

// The identification records, then data frames of seven command types; line ends between
// frames are filler.
std::vector<Bytes> Firmware() {
    // clang-format off
    return {kModuleRecord, kRevisionRecord, kBuildTimeRecord, kFrame3, kFrame5,
            MakeFrame(9, Bytes(16, 0x99)), MakeFrame(11, Bytes()), MakeFrame(13, Bytes(1, 0x42)),
            MakeFrame(14, Bytes(2, 0x01)), MakeFrame(16, Bytes(40, 0x16))};
    // clang-format on
}

// The log as written, with the creation date and the download time masked.
const std::string kHeader = "\r\nZUL download log file created on DATE\n\r\n";
const std::string kFoundCom5 = "\r\nB4K auto detection gave COM 5";
const std::string kFoundNothing = "\r\nB4K auto detection gave COM 0";
const std::string kOutcomeTail = "\r\n\r\nDownload time : N seconds";
const std::string kNoKey = "\r\n[RegOpenKeyEx]";
const std::string kNoValue = "\r\n[RegOpenKeyEx|QueryStringValue] Erreur(2): The system cannot "
                             "find the file specified.\r\n";

std::string Info(const std::string& fileType, const std::string& deviceType) {
    return "\r\nFile Information :\r\n------------------\r\nFile module type       : " + fileType +
           "\r\nFile software revision : 167.300"
           "\r\nFile build time        : Mon Nov 06 00:00:00 2023\n\r\n"
           "\r\nDevice Information :\r\n--------------------\r\nDevice module type     : " +
           deviceType + "\r\n";
}

std::string Failed(int code) {
    return "\r\nError downloading the file (error : " + std::to_string(code) + ")" + kOutcomeTail;
}

struct MaskedLog {
    std::string text;
    int seconds = -1; // the download time, when the log has one
};

MaskedLog Mask(std::string log) {
    static const std::regex created(
        "^(\r\nZUL download log file created on )(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] [0-2][0-9]:[0-5][0-9]:"
        "[0-6][0-9] [0-9]{4}\n");
    static const std::regex took("\r\nDownload time : ([0-9]+) seconds$");
    MaskedLog masked;
    masked.text =
        std::regex_replace(log, created, "$1DATE\n", std::regex_constants::format_first_only);
    std::smatch match;
    if (std::regex_search(masked.text, match, took)) {
        masked.seconds = std::stoi(match[1].str());
        masked.text = match.prefix().str() + "\r\nDownload time : N seconds";
    }
    return masked;
}

// The download time counts whole seconds from the start of detection.
void ExpectDownloadTime(const MaskedLog& log, const ProcessResult& result) {
    EXPECT_GE(log.seconds + 2, result.seconds);
    EXPECT_LE(log.seconds, result.seconds + 1);
}

// Verbose console output: the progress texts, then the echo of the log.
struct Console {
    std::vector<int> progress;
    std::string rest;
};

Console SplitConsole(const std::string& out) {
    static const std::regex update("^\rDownload : ([0-9]{3}) %");
    const std::string first = "\r\nDownload : 000 %";
    Console console;
    EXPECT_TRUE(out.starts_with(first)) << out;
    console.rest = out.starts_with(first) ? out.substr(first.size()) : out;
    std::smatch match;
    while (std::regex_search(console.rest, match, update)) {
        // Each update reports a change of a value that only grows.
        const int value = std::stoi(match[1].str());
        EXPECT_GT(value, console.progress.empty() ? 0 : console.progress.back());
        EXPECT_LE(value, 100);
        console.progress.push_back(value);
        console.rest = match.suffix().str();
    }
    return console;
}

Bytes LittleEndian(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

const Args kFiles = {"--if",       "fw.ctf",       "--of",      "run.log",
                     "--progress", "progress.bin", "--infomod", "module.bin"};
const std::set<std::string> kAllFiles = {"fw.ctf", "run.log", "progress.bin", "module.bin",
                                         "AskModuleType.ctf"};

DeviceConfig Device(std::uint32_t moduleType = kModuleType) {
    DeviceConfig config;
    config.moduleType = moduleType;
    return config;
}

// One run of the tool: its own working directory, its own port folder and
// sysfs tree, and the simulated devices attached to them.
class Bench {
  public:
    Bench() {
        fs::create_directories(env.Path() / "dev");
        fs::create_directories(env.Path() / "sys");
    }

    B4kSimulator& Attach(const DeviceConfig& config, int com = 5, bool discoverable = true) {
        SimulatorOptions options;
        options.device = config;
        options.portDir = env.File("dev");
        options.comNumber = com;
        options.sysfsDir = discoverable ? env.File("sys") : "";
        devices.push_back(std::make_unique<B4kSimulator>(options));
        EXPECT_TRUE(devices.back()->Start()) << devices.back()->Error();
        return *devices.back();
    }
    void WriteFirmware(const std::vector<Bytes>& frames) const {
        Bytes file;
        for (const Bytes& frame : frames) {
            if (!file.empty()) {
                file.insert(file.end(), {'\r', '\n'}); // filler, never sent
            }
            file.insert(file.end(), frame.begin(), frame.end());
        }
        WriteBytes(work.File("fw.ctf"), file);
    }
    ProcessResult Run(const Args& extra, bool withFiles = true) const {
        Args args = withFiles ? kFiles : Args{};
        args.insert(args.end(), extra.begin(), extra.end());
        ProcessOptions options;
        options.workingDirectory = work.Path().string();
        options.env = {
            {"ZUL_PORT_DIR", env.File("dev")}, {"ZUL_SYSFS_ROOT", env.File("sys")}, {"TZ", "UTC"}};
        options.timeoutSeconds = 60;
        return RunProcess(ToolPath(), args, options);
    }
    std::set<std::string> Files() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(work.Path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    std::string Log() const { return ReadText(work.File("run.log")); }
    Bytes Read(const std::string& name) const { return ReadBytes(work.File(name)); }
    std::string File(const std::string& name) const { return work.File(name); }

  private:
    Tempdir work;
    Tempdir env;
    std::vector<std::unique_ptr<B4kSimulator>> devices;
};

// What the device has received once the line has gone quiet.
std::vector<Bytes> Received(const B4kSimulator& sim) {
    while (sim.WaitForItems(sim.Capture().size() + 1, 200)) {
    }
    return sim.CapturedFrames();
}

// The module type query: connected at once, then its record three times.
const std::vector<Bytes> kQuery = {kConnectFrame, kQueryRecord, kQueryRecord, kQueryRecord};

// `head`, then a download's connect frame and the file's frames before `end`
// that leave the host (all but the revision and build time records).
std::vector<Bytes> Traffic(std::vector<Bytes> head, const std::vector<Bytes>& file,
                           std::size_t end) {
    head.push_back(kConnectFrame);
    for (std::size_t i = 0; i < end; ++i) {
        if (file[i][1] != 20 && file[i][1] != 22) {
            head.push_back(file[i]);
        }
    }
    return head;
}

// The progress once the file's frame `index` is done: the share of the file
// read up to its end, in truncated percent (two filler bytes between frames).
int ProgressAfter(const std::vector<Bytes>& file, std::size_t index) {
    double done = 0;
    double size = 0;
    for (std::size_t i = 0; i < file.size(); ++i) {
        size += static_cast<double>(file[i].size() + (i == 0 ? 0 : 2));
        done = i == index ? size : done;
    }
    return static_cast<int>(done / size * 100);
}

// Runs that end before the log exists, or without one at all: nothing but
// the firmware file is left, and the device is never woken. The usage and
// help texts themselves are checked by the command-line tests.
TEST(EndToEnd, RunsThatCreateNoLog) {
    const std::vector<std::pair<Args, int>> cases = {
        {{"--of", "run.log", "--v"}, kUsageError},
        {{"--help"}, 0},
        {{"--v", "--if", "fw.ctf", "--of", "missing/run.log", "--progress", "progress.bin",
          "--infomod", "module.bin"},
         kLogNotCreated},
    };
    for (const auto& [args, status] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        Bench bench;
        const B4kSimulator& sim = bench.Attach(Device());
        bench.WriteFirmware(Firmware());
        const ProcessResult result = bench.Run(args, false);
        EXPECT_EQ(result.exitStatus, status);
        EXPECT_EQ(result.out.empty(), status == kLogNotCreated) << result.out;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(bench.Files(), std::set<std::string>{"fw.ctf"});
        EXPECT_TRUE(sim.Capture().empty());
    }
}

TEST(EndToEnd, InvalidFirmwareEndsTheRunBeforeDetection) {
    Bytes badChecksum = kFrame3;
    badChecksum[badChecksum.size() - 2] ^= 0x01;
    Bytes badEnd = kFrame5;
    badEnd.back() = 0x5C;
    const Bytes cutShort(kModuleRecord.begin(), kModuleRecord.begin() + 5);
    struct Case {
        const char* name;
        std::vector<Bytes> frames; // none: no file at all
        bool verbose;
    };
    const std::vector<Case> cases = {
        {"missing", {}, true},
        {"checksum", {kModuleRecord, badChecksum, kFrame5}, false},
        {"end byte", {kModuleRecord, badEnd}, true},
        {"cut short", {kFrame3, cutShort}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        const B4kSimulator& sim = bench.Attach(Device());
        if (!c.frames.empty()) {
            bench.WriteFirmware(c.frames);
        }
        for (const char* earlier : {"run.log", "progress.bin", "module.bin"}) {
            WriteBytes(bench.File(earlier), Bytes(300, 'x')); // emptied by the run
        }
        const ProcessResult result = bench.Run(c.verbose ? Args{"--v"} : Args{});
        EXPECT_EQ(result.exitStatus, kInvalidFile);
        const std::string log = bench.Log();
        EXPECT_EQ(Mask(log).text, kHeader + "\r\n File fw.ctf is invalid!!");
        EXPECT_EQ(result.out, (c.verbose ? log : "") + "\r\n");
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(bench.Read("progress.bin").empty());
        EXPECT_TRUE(bench.Read("module.bin").empty());
        std::set<std::string> files = {"run.log", "progress.bin", "module.bin"};
        if (!c.frames.empty()) {
            files.insert("fw.ctf");
        }
        EXPECT_EQ(bench.Files(), files);
        EXPECT_TRUE(sim.Capture().empty()); // not even woken
    }
}

TEST(EndToEnd, NoDeviceGivesUpAfterSixSeconds) {
    Bench bench; // no sysfs tree, and nothing behind the forced port
    bench.WriteFirmware(Firmware());
    const ProcessResult result = bench.Run({"--v", "--com", "7"});
    EXPECT_EQ(result.exitStatus, kNoDevice);
    EXPECT_GE(result.seconds, 6.0);
    EXPECT_LT(result.seconds, 9.0);
    const std::string log = bench.Log();
    EXPECT_EQ(Mask(log).text, kHeader + kFoundNothing + "\r\n No B4K found !!");
    EXPECT_EQ(result.out, log + "\r\n");
    EXPECT_EQ(result.err, kNoKey + kNoValue);
    EXPECT_TRUE(bench.Read("progress.bin").empty());
    EXPECT_TRUE(bench.Read("module.bin").empty());
    EXPECT_EQ(bench.Files(),
              (std::set<std::string>{"fw.ctf", "run.log", "progress.bin", "module.bin"}));
}

// The first failing check ends the run after the information block; the
// device was asked for its type, but nothing was downloaded.
TEST(EndToEnd, IdentificationChecks) {
    struct Case {
        Args args;
        int status;
        std::string line;
    };
    const std::string mainLine = "\n\rError : File main version is 167 and main version to "
                                 "program should be 166";
    const std::vector<Case> cases = {
        {{"--msv", "166", "--v"}, kMismatch, mainLine},
        {{"--ssv", "4", "--msv", "166"}, kMismatch, mainLine},
        {{"--msv", "167", "--ssv", "4", "--v"},
         kSubMismatch,
         "\n\rError : File sub version is 300 and sub version to program should be 4"},
        {{"--msv", "167", "--ssv", "300", "--mt", "0xAB"},
         kMismatch,
         "\n\rError : File module type is 00c0ffee and module type to program should be 000000ab"},
        {{"--mt", "c0ffee", "--bt", "65482C81", "--v"},
         kMismatch,
         "\n\rError : File build time is 65482c80 and build time to program should be 65482c81"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Bench bench;
        const B4kSimulator& sim = bench.Attach(Device(0x1234ABCD));
        bench.WriteFirmware(Firmware());
        const ProcessResult result = bench.Run(c.args);
        EXPECT_EQ(result.exitStatus, c.status);
        const std::string log = bench.Log();
        EXPECT_EQ(Mask(log).text, kHeader + kFoundCom5 + Info("00c0ffee", "1234abcd") + c.line);
        EXPECT_EQ(result.out, (c.args.back() == "--v" ? log : "") + "\r\n");
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(bench.Read("progress.bin").empty());
        EXPECT_EQ(bench.Read("module.bin"), LittleEndian(0x1234ABCD));
        EXPECT_EQ(bench.Files(), kAllFiles);
        EXPECT_EQ(Received(sim),
                  (std::vector<Bytes>{kConnectFrame, kQueryRecord, kQueryRecord, kQueryRecord}));
    }
}

TEST(EndToEnd, SuccessfulDownload) {
    Bench bench;
    DeviceConfig config = Device();
    config.ignoreConnects = 2;
    const B4kSimulator& sim = bench.Attach(config);
    const B4kSimulator& forced = bench.Attach(Device(), 9, false); // the discovered one answers
    const std::vector<Bytes> firmware = Firmware();
    bench.WriteFirmware(firmware);
    WriteBytes(bench.File("AskModuleType.ctf"), Bytes(1000, 'x')); // replaced whole
    const ProcessResult result = bench.Run({"--msv", "167", "--ssv", "300", "--mt", "00C0FFEE",
                                            "--bt", "0x65482c80", "--com", "9", "--v"});
    EXPECT_EQ(result.exitStatus, kSuccess);
    const std::string log = bench.Log();
    const MaskedLog masked = Mask(log);
    EXPECT_EQ(masked.text, kHeader + kFoundCom5 + Info("00c0ffee", "00c0ffee") +
                               "\r\nDownload was successful" + kOutcomeTail);
    ExpectDownloadTime(masked, result);

    const Console console = SplitConsole(result.out);
    ASSERT_FALSE(console.progress.empty());
    EXPECT_EQ(console.progress.back(), 100);
    EXPECT_EQ(console.rest, log + "\r\n");
    EXPECT_EQ(result.err, "");

    EXPECT_EQ(bench.Read("progress.bin"), Bytes{100});
    EXPECT_EQ(bench.Read("module.bin"), LittleEndian(kModuleType));
    EXPECT_EQ(bench.Read("AskModuleType.ctf"), kQueryRecord);
    EXPECT_EQ(bench.Files(), kAllFiles);

    // Woken once, connected at the third connect frame, asked, connected
    // again, then the file's frames in order without the two records that
    // stay on the host. No byte outside a frame after the wake-up.
    const std::vector<Bytes> expected = Traffic(
        {kConnectFrame, kConnectFrame, kConnectFrame, kQueryRecord, kQueryRecord, kQueryRecord},
        firmware, firmware.size());
    EXPECT_EQ(Received(sim), expected);
    EXPECT_TRUE(forced.Capture().empty());
    const std::vector<CapturedItem> items = sim.Capture();
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items.front().kind, CaptureKind::WakeUp);
    EXPECT_EQ(items.size(), expected.size() + 1);
}

// Discovery finds nothing (no device key, or the device's key without a
// port), so only the forced port reaches the device. The device's own type
// differs from the file's, which carries no module type record.
TEST(EndToEnd, ForcedPortAfterFailedDiscovery) {
    for (const bool keyWithoutPort : {false, true}) {
        SCOPED_TRACE(keyWithoutPort ? "key without port" : "no key");
        Bench bench;
        if (keyWithoutPort) {
            bench.Attach(Device(), 0, true); // in sysfs, but no port names it
        }
        const B4kSimulator& sim = bench.Attach(Device(0x0A0B0C0D), 7, false);
        std::vector<Bytes> firmware = Firmware();
        firmware.erase(firmware.begin());
        bench.WriteFirmware(firmware);
        const ProcessResult result = bench.Run({"--com", "7", "--mt", "0"});
        EXPECT_EQ(result.exitStatus, kSuccess);
        EXPECT_EQ(Mask(bench.Log()).text, kHeader + kFoundNothing + Info("00000000", "0a0b0c0d") +
                                              "\r\nDownload was successful" + kOutcomeTail);
        EXPECT_EQ(result.out, "\r\n");
        EXPECT_EQ(result.err, keyWithoutPort ? kNoValue : kNoKey + kNoValue);
        EXPECT_EQ(bench.Read("progress.bin"), Bytes{100});
        EXPECT_EQ(bench.Read("module.bin"), LittleEndian(0x0A0B0C0D));
        EXPECT_EQ(Received(sim), Traffic(kQuery, firmware, firmware.size()));
    }
}

// A firmware file that bears the query file's name is not overwritten by
// the query: the query is skipped and the file itself goes to the device.
TEST(EndToEnd, FirmwareNamedLikeTheQueryFileIsKept) {
    Bench bench;
    const B4kSimulator& sim = bench.Attach(Device());
    bench.WriteFirmware(Firmware());
    const Bytes firmware = bench.Read("fw.ctf");
    fs::rename(bench.File("fw.ctf"), bench.File("AskModuleType.ctf"));
    const ProcessResult result = bench.Run({"--if", "AskModuleType.ctf"}, false);
    EXPECT_EQ(result.exitStatus, kSuccess);
    EXPECT_EQ(bench.Read("AskModuleType.ctf"), firmware);
    EXPECT_NE(ReadText(bench.File("Log.txt")).find("Device module type     : 00000000"),
              std::string::npos);
    const std::vector<Bytes> frames = Received(sim);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), kQueryRecord), 0);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back(), Firmware().back());
}

// The worker's status becomes the exit status and the log's error line; the
// device received the file up to the failing frame, and the last progress
// reported is that of the frame before it.
TEST(EndToEnd, DownloadFailures) {
    std::vector<Bytes> unknownType = Firmware();
    unknownType.insert(unknownType.begin() + 5, MakeFrame(30, {}));
    struct Case {
        const char* name;
        void (*configure)(DeviceConfig&);
        std::vector<Bytes> file;
        int code;
        int failing;  // index of the file's frame that fails; -1: the connect frame
        int attempts; // how often the device received it
    };
    const std::vector<Case> cases = {
        {"hang-up", [](DeviceConfig& c) { c.hangupAfterFrames = 8; }, Firmware(), -1, 4, 1},
        {"corrupted replies", [](DeviceConfig& c) { c.corruptType = 3; }, Firmware(), -1, 3, 3},
        {"connect ignored", [](DeviceConfig& c) { c.ignoreConnects = 1000; }, Firmware(), -4, -1,
         0},
        {"status 2", [](DeviceConfig& c) { c.replyStatus[3] = 2; }, Firmware(), -5, 3, 3},
        {"other module type", [](DeviceConfig& c) { c.moduleType = 0x00C0FFEF; }, Firmware(), -13,
         0, 3},
        {"unknown type", [](DeviceConfig&) {}, unknownType, -14, 5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench bench;
        DeviceConfig config = Device();
        c.configure(config);
        const B4kSimulator& sim = bench.Attach(config);
        bench.WriteFirmware(c.file);
        const ProcessResult result = bench.Run({"--v"});
        EXPECT_EQ(result.exitStatus, 256 + c.code);
        const std::uint32_t deviceType = c.failing < 0 ? 0 : config.moduleType;
        char typeText[9];
        std::snprintf(typeText, sizeof typeText, "%08x", deviceType);
        const std::string log = bench.Log();
        const MaskedLog masked = Mask(log);
        EXPECT_EQ(masked.text, kHeader + kFoundCom5 + Info("00c0ffee", typeText) + Failed(c.code));
        ExpectDownloadTime(masked, result);

        const Console console = SplitConsole(result.out);
        EXPECT_EQ(console.rest, log + "\r\n");
        const int last = console.progress.empty() ? 0 : console.progress.back();
        const auto failing = static_cast<std::size_t>(c.failing);
        EXPECT_EQ(last, c.failing > 0 ? ProgressAfter(c.file, failing - 1) : 0);
        EXPECT_EQ(bench.Read("progress.bin"),
                  last > 0 ? Bytes{static_cast<std::uint8_t>(last)} : Bytes{});
        EXPECT_EQ(bench.Read("module.bin"), LittleEndian(deviceType));
        EXPECT_EQ(bench.Files(), kAllFiles);

        const std::vector<Bytes> frames = Received(sim);
        if (c.failing < 0) { // two connect windows of more than 4 s each: query and download
            EXPECT_GE(result.seconds, 8.0);
            EXPECT_GE(frames.size(), 30u);
            EXPECT_EQ(frames, std::vector<Bytes>(frames.size(), kConnectFrame));
            continue;
        }
        std::vector<Bytes> expected = Traffic(kQuery, c.file, failing);
        expected.insert(expected.end(), static_cast<std::size_t>(c.attempts), c.file[failing]);
        EXPECT_EQ(frames, expected);
    }
}

} // namespace
