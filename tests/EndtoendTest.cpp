// The built tool against simulated devices, from the command line to the
// exit status: log bytes, console, standard error, the progress and
// module-information files, and what the device received.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

#include "B4kSimulator.h"
#include "Runlog.h"
#include "Toolbench.h"

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

const std::string kNoKey = "\r\n[RegOpenKeyEx]";
const std::string kNoValue = "\r\n[RegOpenKeyEx|QueryStringValue] Erreur(2): The system cannot "
                             "find the file specified.\r\n";

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
        ToolBench bench;
        const B4kSimulator& sim = bench.Attach(DefaultDevice());
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
        ToolBench bench;
        const B4kSimulator& sim = bench.Attach(DefaultDevice());
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
    ToolBench bench; // no sysfs tree, and nothing behind the forced port
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
        ToolBench bench;
        const B4kSimulator& sim = bench.Attach(DefaultDevice(0x1234ABCD));
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
    ToolBench bench;
    DeviceConfig config = DefaultDevice();
    config.ignoreConnects = 2;
    config.typeDelayMs[14] = 1000; // time to read the log while the run goes on
    const B4kSimulator& sim = bench.Attach(config);
    const B4kSimulator& forced =
        bench.Attach(DefaultDevice(), 9, false); // the discovered one answers
    const std::vector<Bytes> firmware = Firmware();
    bench.WriteFirmware(firmware);
    WriteBytes(bench.File("AskModuleType.ctf"), Bytes(1000, 'x')); // replaced whole
    ProcessResult result;
    std::thread run([&] {
        result = bench.Run({"--msv", "167", "--ssv", "300", "--mt", "00C0FFEE", "--bt",
                            "0x65482c80", "--com", "9", "--v"});
    });
    // A script following the log sees each entry as it is made: by the type 14
    // frame (the wake-up, 7 query items, then 7 of the file), the information block.
    const bool reached = sim.WaitForItems(15, 20000);
    const std::string midway = Mask(bench.Log()).text;
    run.join();
    ASSERT_TRUE(reached);
    EXPECT_EQ(midway, kHeader + kFoundCom5 + Info("00c0ffee", "00c0ffee"));
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
        ToolBench bench;
        if (keyWithoutPort) {
            bench.Attach(DefaultDevice(), 0, true); // in sysfs, but no port names it
        }
        const B4kSimulator& sim = bench.Attach(DefaultDevice(0x0A0B0C0D), 7, false);
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
    ToolBench bench;
    const B4kSimulator& sim = bench.Attach(DefaultDevice());
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
        int failing;  // index of the file's frame that fails
        int attempts; // how often the device received it
    };
    // Device faults alone are the fault matrix's; these also check the console.
    const std::vector<Case> cases = {
        {"hang-up", [](DeviceConfig& c) { c.hangupAfterFrames = 8; }, Firmware(), -1, 4, 1},
        {"other module type", [](DeviceConfig& c) { c.moduleType = 0x00C0FFEF; }, Firmware(), -13,
         0, 3},
        {"unknown type", [](DeviceConfig&) {}, unknownType, -14, 5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolBench bench;
        DeviceConfig config = DefaultDevice();
        c.configure(config);
        const B4kSimulator& sim = bench.Attach(config);
        bench.WriteFirmware(c.file);
        const ProcessResult result = bench.Run({"--v"});
        EXPECT_EQ(result.exitStatus, 256 + c.code);
        const std::uint32_t deviceType = config.moduleType;
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
        std::vector<Bytes> expected = Traffic(kQuery, c.file, failing);
        expected.insert(expected.end(), static_cast<std::size_t>(c.attempts), c.file[failing]);
        EXPECT_EQ(frames, expected);
    }
}

struct stat StatOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
}

// Whatever the progress name leads to, the last value reaches it and nothing
// is replaced by another kind of file or left beside it; and a console whose
// reader has gone changes nothing of the run.
TEST(EndToEnd, ProgressFileKindsAndAGoneConsole) {
    using Check = std::function<void(const ToolBench&, const struct stat& before)>;
    struct Case {
        const char* name;
        StandardOutput output;
        bool verbose;
        Args launcher;
        std::function<void(const ToolBench&)> prepare; // progress.bin and what it leads to
        Check check; // given the stat of what progress.bin led to before the run
    };
    const auto makeFile = [](const ToolBench& b, const char* name, unsigned mode) {
        WriteBytes(b.File(name), {7});
        fs::permissions(b.File(name), fs::perms(mode));
    };
    const Check replaced = [](const ToolBench& b, const struct stat& before) {
        struct stat after {};
        EXPECT_EQ(stat(b.File("progress.bin").c_str(), &after), 0);
        EXPECT_EQ(std::tuple(after.st_uid, after.st_gid, after.st_mode),
                  std::tuple(before.st_uid, before.st_gid, before.st_mode));
        EXPECT_NE(after.st_ino, before.st_ino);
        EXPECT_EQ(b.Read("progress.bin"), Bytes{100});
    };
    const Check keptAs = [](const ToolBench& b, const struct stat& before) {
        const struct stat after = StatOf(b.File("progress.bin"));
        EXPECT_EQ(std::tuple(after.st_mode, after.st_rdev),
                  std::tuple(before.st_mode, before.st_rdev));
    };
    const std::vector<Case> cases = {
        {"link followed, its target replaced",
         StandardOutput::ReaderGone,
         true,
         {},
         [&](const ToolBench& b) {
             makeFile(b, "target.bin", 0604);
             fs::create_symlink("target.bin", b.File("progress.bin"));
         },
         [&](const ToolBench& b, const struct stat& before) {
             EXPECT_TRUE(fs::is_symlink(b.File("progress.bin")));
             replaced(b, before);
         }},
        {"device node kept",
         StandardOutput::ReaderGone,
         false,
         {},
         [](const ToolBench& b) {
             ASSERT_EQ(mknod(b.File("progress.bin").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
         },
         keptAs},
        {"FIFO without reader kept",
         StandardOutput::Collected,
         true,
         {},
         [](const ToolBench& b) { ASSERT_EQ(mkfifo(b.File("progress.bin").c_str(), 0666), 0); },
         keptAs},
        {"owner and mode kept",
         StandardOutput::Closed,
         true,
         {},
         [&](const ToolBench& b) {
             makeFile(b, "progress.bin", 0640);
             ASSERT_EQ(chown(b.File("progress.bin").c_str(), 1234, 1235), 0);
         },
         replaced},
        // Root without its capabilities: the folder is closed to it as to any owner.
        {"folder unwritable: written in place",
         StandardOutput::Collected,
         true,
         {"/usr/bin/setpriv", "--bounding-set=-all", "--inh-caps=-all"},
         [&](const ToolBench& b) {
             fs::create_directory(b.File("closed"));
             makeFile(b, "closed/progress.bin", 0666);
             fs::permissions(b.File("closed"), fs::perms(0555));
             fs::create_symlink("closed/progress.bin", b.File("progress.bin"));
         },
         [](const ToolBench& b, const struct stat& before) {
             EXPECT_EQ(StatOf(b.File("closed/progress.bin")).st_ino, before.st_ino);
             EXPECT_EQ(b.Read("closed/progress.bin"), Bytes{100});
             EXPECT_EQ(std::distance(fs::directory_iterator(b.File("closed")), {}), 1);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolBench bench;
        const B4kSimulator& sim = bench.Attach(DefaultDevice());
        const std::vector<Bytes> firmware = Firmware();
        bench.WriteFirmware(firmware);
        c.prepare(bench);
        std::set<std::string> files = bench.Files();
        files.insert({"run.log", "module.bin", "AskModuleType.ctf"});
        const std::string progress = bench.File("progress.bin");
        struct stat before {};
        EXPECT_EQ(stat(progress.c_str(), &before), 0);
        // Held open, a replaced file's number cannot pass to its successor.
        const int held = S_ISREG(before.st_mode) ? open(progress.c_str(), O_RDONLY) : -1;
        bench.launcher = c.launcher;
        bench.output = c.output;
        const ProcessResult result = bench.Run(c.verbose ? Args{"--v"} : Args{});
        EXPECT_EQ(result.exitStatus, kSuccess);
        EXPECT_EQ(Mask(bench.Log()).text, kHeader + kFoundCom5 + Info("00c0ffee", "00c0ffee") +
                                              "\r\nDownload was successful" + kOutcomeTail);
        const std::string echo = (c.verbose ? bench.Log() : "") + "\r\n";
        EXPECT_TRUE(result.out.ends_with(c.output == StandardOutput::Collected ? echo : ""));
        c.check(bench, before);
        close(held);
        EXPECT_EQ(bench.Read("module.bin"), LittleEndian(kModuleType));
        EXPECT_EQ(bench.Files(), files);
        EXPECT_EQ(Received(sim), Traffic(kQuery, firmware, firmware.size()));
    }
}

} // namespace
