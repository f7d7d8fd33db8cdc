// The built tool against simulated devices, from the command line to the
// exit status: log bytes, console, standard error, the progress and
// module-information files, and what the device received. Device faults are
// the fault matrix's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "Toolbench.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Args = std::vector<std::string>;

// Exit statuses as the shell sees them.
constexpr int kUsageError = 235; // -261

// The identification records, then data frames of seven command types.
// clang-format off
const std::vector<Bytes> kFirmware = {kModuleRecord, kRevisionRecord, kBuildTimeRecord,
    MakeFrame(3, {1}), MakeFrame(5, {0x10, 0x20}), MakeFrame(9, Bytes(16, 0x99)), MakeFrame(11, {}),
    MakeFrame(13, {0x42}), MakeFrame(14, {1, 1}), MakeFrame(16, Bytes(40, 0x16))};
// clang-format on

// No registry key for the device, so no value in it either.
const std::string kNoRegistry = "\r\n[RegOpenKeyEx]\r\n[RegOpenKeyEx|QueryStringValue] Erreur(2): "
                                "The system cannot find the file specified.\r\n";

const std::string kUsage = "\r\nType --help for a detail list of function options"
                           "\r\n\r\nExample :  Download_ZUL_console --help\r\n";
const std::string kHelp =
    "\r\nVersion 1.1\r\nSyntax : Download_ZUL_Console {options}\r\n"
    "\r\nDownload_ZUL_Console recognised options :\r\n"
    "\r\n--msv [d]      : The main software revision to be programmed"
    "\r\n--ssv [d]      : The sub software revision to be programmed"
    "\r\n--mt  [x]      : The module type to be programmed"
    "\r\n--bt  [x]      : The build time of the file to be programmed"
    "\r\n--if  [f]      : Name of the input file to program"
    "\r\n--v            : Print all processing states to console"
    "\r\n--verbose      : Print all processing states to console"
    "\r\n--of  [f]      : Name of the output file where to log information"
    "\r\n--com [d]      : Force port COM specified to be used (skip automatic detection)"
    "\r\n--progress [f] : Write Download progress to specified file"
    "\r\n--infomod  [f] : Write found module information to specified file\r\n"
    "\r\nwhere d represents a decimal number, x an hexadecimal number and f a filename"
    "\r\nAll options except \"--if [f]\" are optional\r\n"
    "\r\nExample : Download_ZUL_Console --msv 167 --mt 0x00000002 --if Program_factory.ctf\r\n\n\r"
    "\n\rIf file is not matching main software revision number 167 and module type 2 no "
    "download will occur\n\r";

// Usage errors, help requests, values that are not integers and a log that
// cannot be created end the run before any file is made or the device woken.
TEST(EndToEnd, CommandLineEndsTheRunBeforeAnyFile) {
    struct Case {
        Args args;
        int status;
        std::string out;
        std::string err = "";
    };
    const std::vector<Case> cases = {
        {{}, kUsageError, kUsage},
        {{"--help"}, 0, kHelp},
        {{"--if", "fw.ctf", "--of", "run.log", "--infomod"}, kUsageError, kUsage},
        {{"--of", "r", "--if", "f", "--msv", "abc"}, 2, "", "'abc' is not a valid integer value\n"},
        {{"--v", "--if", "fw.ctf", "--of", "no/run.log", "--progress", "p.bin"}, 236, ""}, // -260
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ToolBench bench;
        const B4kSimulator& sim = bench.Attach(DefaultDevice());
        bench.WriteFirmware(kFirmware);
        const ProcessResult result = bench.Run(c.args, false);
        EXPECT_EQ(result.exitStatus, c.status);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(bench.Files(), std::set<std::string>{"fw.ctf"});
        EXPECT_TRUE(sim.Capture().empty());
    }
}

// Runs that end before the download: an invalid firmware file before
// detection, detection that finds no device after six seconds, and the
// identification checks, the first failing one after the information block,
// once the device was asked for its type. The files of an earlier run are
// emptied or replaced, and none is added but the query's.
TEST(EndToEnd, RunsEndedBeforeTheDownload) {
    struct Case {
        int status;
        Args args;
        std::string tail;
        std::string err = "";
        std::vector<Bytes> file = kFirmware; // none: no file at all
    };
    const std::string invalid = "\r\n File fw.ctf is invalid!!";
    const std::string none = kFoundNothing + "\r\n No B4K found !!";
    const auto error = [](const std::string& what, const char* is, const char* should) {
        return kFoundCom5 + Info(kModuleType, 0x1234ABCD) + "\n\rError : File " + what + " is " +
               is + " and " + what + " to program should be " + should;
    };
    // -3, -2 (not in the sysfs tree, and nothing behind the forced port), -256 and -257.
    // clang-format off
    const std::vector<Case> cases = {
        {253, {"--v"}, invalid, "", {}},
        {253, {}, invalid, "", {kModuleRecord, {0x5B, 3, 1, 1, 4, 0x5D}}},
        {254, {"--v", "--com", "7"}, none, kNoRegistry},
        {240, {"--ssv", "4", "--msv", "166", "--v"}, error("main version", "167", "166")},
        {239, {"--msv", "167", "--ssv", "4", "--v"}, error("sub version", "300", "4")},
        {240, {"--ssv", "300", "--mt", "0xAB"}, error("module type", "00c0ffee", "000000ab")},
        {240, {"--mt", "c0ffee", "--bt", "65482C81"}, error("build time", "65482c80", "65482c81")},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const bool queried = c.status != 253 && c.status != 254;
        ToolBench bench;
        const B4kSimulator& sim = bench.Attach(DefaultDevice(0x1234ABCD), 5, c.status != 254);
        std::set<std::string> files = {"run.log", "progress.bin", "module.bin"};
        for (const std::string& earlier : files) {
            WriteBytes(bench.File(earlier), Bytes(300, 'x'));
        }
        if (!c.file.empty()) {
            bench.WriteFirmware(c.file);
            files.insert("fw.ctf");
        }
        const ProcessResult result = bench.Run(c.args);
        EXPECT_EQ(result.exitStatus, c.status);
        EXPECT_EQ(Mask(bench.Log()).text, kHeader + c.tail);
        const bool verbose = std::ranges::find(c.args, "--v") != c.args.end();
        EXPECT_EQ(result.out, (verbose ? bench.Log() : "") + "\r\n");
        EXPECT_EQ(result.err, c.err);
        EXPECT_TRUE(bench.Read("progress.bin").empty());
        EXPECT_EQ(bench.Read("module.bin"), queried ? LittleEndian(0x1234ABCD) : Bytes{});
        if (queried) {
            files.insert("AskModuleType.ctf");
            EXPECT_EQ(Received(sim), kQuery);
        } else {
            EXPECT_TRUE(sim.Capture().empty()); // not even woken
        }
        EXPECT_EQ(bench.Files(), files);
    }
}

// A firmware file that bears the query file's name is not overwritten by
// the query: the query is skipped and the file itself goes to the device.
TEST(EndToEnd, FirmwareNamedLikeTheQueryFileIsKept) {
    ToolBench bench;
    const B4kSimulator& sim = bench.Attach(DefaultDevice());
    bench.WriteFirmware(kFirmware);
    fs::rename(bench.File("fw.ctf"), bench.File("AskModuleType.ctf"));
    const ProcessResult result = bench.Run({"--if", "AskModuleType.ctf"}, false);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(bench.Files(), (std::set<std::string>{"AskModuleType.ctf", "Log.txt"}));
    EXPECT_NE(ReadText(bench.File("Log.txt")).find("Device module type     : 00000000"),
              std::string::npos);
    EXPECT_EQ(Received(sim), Traffic({}, kFirmware, kFirmware.size()));
}

// Successful downloads with every identification check given. Whatever the
// progress name leads to, the last value reaches it and nothing is replaced
// by another kind of file or left beside it; and a console whose reader has
// gone, or that is closed, changes nothing of the run.
TEST(EndToEnd, SuccessfulDownloads) {
    const auto makeFile = [](const ToolBench& b, const char* name, unsigned mode) {
        WriteBytes(b.File(name), {7});
        fs::permissions(b.File(name), fs::perms(mode));
    };
    struct Case {
        const char* name;
        StandardOutput output;
        bool verbose;
        bool replaced; // by a new file of the same owner and mode
        std::function<void(ToolBench&)> prepare;
    };
    const std::vector<Case> cases = {
        {"owner and mode kept", StandardOutput::Collected, true, true,
         [&](ToolBench& b) {
             makeFile(b, "progress.bin", 0640);
             ASSERT_EQ(chown(b.File("progress.bin").c_str(), 1234, 1235), 0);
         }},
        {"link followed, its target replaced", StandardOutput::ReaderGone, true, true,
         [&](ToolBench& b) {
             makeFile(b, "target.bin", 0604);
             fs::create_symlink("target.bin", b.File("progress.bin"));
         }},
        {"device node kept", StandardOutput::ReaderGone, false, false,
         [](ToolBench& b) {
             ASSERT_EQ(mknod(b.File("progress.bin").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
         }},
        {"FIFO without reader kept", StandardOutput::Collected, false, false,
         [](ToolBench& b) { ASSERT_EQ(mkfifo(b.File("progress.bin").c_str(), 0666), 0); }},
        // Root without its capabilities: the folder is closed to it as to any owner.
        {"folder unwritable: written in place", StandardOutput::Closed, true, false,
         [&](ToolBench& b) {
             b.launcher = {"/usr/bin/setpriv", "--bounding-set=-all", "--inh-caps=-all"};
             fs::create_directory(b.File("closed"));
             makeFile(b, "closed/progress.bin", 0666);
             fs::permissions(b.File("closed"), fs::perms(0555));
             fs::create_symlink("closed/progress.bin", b.File("progress.bin"));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolBench bench;
        DeviceConfig config{.moduleType = kModuleType, .ignoreConnects = 2};
        config.typeDelayMs[14] = 1000; // time to read the log while the run goes on
        const B4kSimulator& sim = bench.Attach(config);
        const B4kSimulator& forced = bench.Attach(DefaultDevice(), 9, false); // unused
        bench.WriteFirmware(kFirmware);
        WriteBytes(bench.File("AskModuleType.ctf"), Bytes(1000, 'x')); // replaced whole
        c.prepare(bench);
        std::set<std::string> files = bench.Files();
        files.insert({"run.log", "module.bin"});
        const std::string progress = bench.File("progress.bin");
        const bool link = fs::is_symlink(progress);
        struct stat before {};
        struct stat after {};
        EXPECT_EQ(stat(progress.c_str(), &before), 0);
        // Held open, a replaced file's number cannot pass to its successor.
        const int held = S_ISREG(before.st_mode) ? open(progress.c_str(), O_RDONLY) : -1;
        bench.output = c.output;
        Args args = {"--msv",    "167",  "--ssv",      "300",   "--mt",
                     "00C0FFEE", "--bt", "0x65482c80", "--com", "9"};
        if (c.verbose) {
            args.push_back("--v");
        }
        ProcessResult result;
        std::thread run([&] { result = bench.Run(args); });
        // A script following the log sees each entry as it is made: by the type 14
        // frame (the wake-up, 7 query items, then 7 of the file), the information block.
        const bool reached = sim.WaitForItems(15, 20000);
        const std::string midway = Mask(bench.Log()).text;
        run.join();
        ASSERT_TRUE(reached);
        EXPECT_EQ(midway, kHeader + kFoundCom5 + Info(kModuleType, kModuleType));
        EXPECT_EQ(result.exitStatus, 1);
        const std::string log = bench.Log();
        const MaskedLog masked = Mask(log);
        EXPECT_EQ(masked.text, kHeader + kFoundCom5 + Info(kModuleType, kModuleType) + Outcome(1));
        ExpectDownloadTime(masked, result);
        if (c.output == StandardOutput::Collected && c.verbose) {
            ExpectVerboseConsole(result.out, 100, log);
        } else if (c.output == StandardOutput::Collected) {
            EXPECT_EQ(result.out, "\r\n");
        }
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(fs::is_symlink(progress), link);
        EXPECT_EQ(stat(progress.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino != before.st_ino, c.replaced);
        EXPECT_EQ(std::tuple(after.st_uid, after.st_gid, after.st_mode, after.st_rdev),
                  std::tuple(before.st_uid, before.st_gid, before.st_mode, before.st_rdev));
        if (S_ISREG(after.st_mode)) {
            EXPECT_EQ(bench.Read("progress.bin"), Bytes{100});
        }
        close(held);
        EXPECT_EQ(bench.Read("module.bin"), LittleEndian(kModuleType));
        EXPECT_EQ(bench.Read("AskModuleType.ctf"), kQueryRecord);
        EXPECT_EQ(bench.Files(), files);
        // Woken once, asked, connected again, then the file's frames in order
        // without the two records that stay on the host; no byte outside a frame.
        const std::vector<Bytes> expected = Traffic(kQuery, kFirmware, kFirmware.size());
        EXPECT_EQ(Deduplicated(Received(sim)), Deduplicated(expected));
        EXPECT_TRUE(forced.Capture().empty());
        const std::vector<CapturedItem> items = sim.Capture();
        EXPECT_EQ(items.front().kind, CaptureKind::WakeUp);
        EXPECT_EQ(std::ranges::count(items, CaptureKind::Frame, &CapturedItem::kind) + 1,
                  std::ssize(items));
    }
}

} // namespace
