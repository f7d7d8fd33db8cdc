// The built tool as a process: the bytes it prints and the status it ends with
// for usage errors, help requests and conversion errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Processrunner.h"
#include "Tempdir.h"

namespace {

using Args = std::vector<std::string>;

const std::string kUsage = "\r\nType --help for a detail list of function options"
                           "\r\n\r\nExample :  Download_ZUL_console --help\r\n";

const std::string kHelp =
    "\r\nVersion 1.1"
    "\r\nSyntax : Download_ZUL_Console {options}"
    "\r\n"
    "\r\nDownload_ZUL_Console recognised options :"
    "\r\n"
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
    "\r\n--infomod  [f] : Write found module information to specified file"
    "\r\n"
    "\r\nwhere d represents a decimal number, x an hexadecimal number and f a filename"
    "\r\nAll options except \"--if [f]\" are optional"
    "\r\n"
    "\r\nExample : Download_ZUL_Console --msv 167 --mt 0x00000002 --if Program_factory.ctf\r\n"
    "\n\r"
    "\n\rIf file is not matching main software revision number 167 and module type 2 no "
    "download will occur"
    "\n\r";

constexpr int kUsageStatus = 235; // -261 in 8 bits
constexpr int kConversionStatus = 2;

struct ToolRun {
    ProcessResult result;
    std::vector<std::string> created; // in the working directory
};

ToolRun RunTool(const Args& args) {
    const Tempdir dir;
    ProcessOptions options;
    options.workingDirectory = dir.Path().string();
    options.timeoutSeconds = 20;
    ToolRun run{RunProcess(ToolPath(), args, options), {}};
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        run.created.push_back(entry.path().filename().string());
    }
    return run;
}

TEST(Cli, UsageAndHelpTexts) {
    struct Case {
        Args args;
        std::string out;
        int status;
    };
    const std::vector<Case> cases = {
        {{}, kUsage, kUsageStatus},
        {{"--help"}, kHelp, 0},
        {{"--helpme"}, kHelp, 0},
        {{"--help", "--v"}, kUsage, kUsageStatus},
        {{"--bogus"}, kUsage, kUsageStatus},
        {{"--v", "--of", "run.log", "--msv", "167"}, kUsage, kUsageStatus},
        {{"--of", "run.log", "--if"}, kUsage, kUsageStatus},
        {{"--if", "fw.ctf", "--progress"}, kUsage, kUsageStatus},
        {{"--if", "fw.ctf", "--of", "run.log", "--infomod"}, kUsage, kUsageStatus},
        {{"--verbose", "--help"}, kUsage, kUsageStatus},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.result.signal, 0);
        EXPECT_EQ(run.result.exitStatus, c.status);
        EXPECT_EQ(run.result.out, c.out);
        EXPECT_EQ(run.result.err, "");
        EXPECT_TRUE(run.created.empty()) << ::testing::PrintToString(run.created);
    }
}

TEST(Cli, ConversionErrorEndsTheRunBeforeAnyFile) {
    struct Case {
        Args args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--if", "f", "--msv", "abc"}, "'abc' is not a valid integer value\n"},
        {{"--of", "run.log", "--progress", "p.bin", "--infomod", "m.bin", "--if", "f", "--com",
          "167x"},
         "'167x' is not a valid integer value\n"},
        {{"--v", "--if", "f", "--ssv", " "}, "' ' is not a valid integer value\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.result.exitStatus, kConversionStatus);
        EXPECT_EQ(run.result.err, c.err);
        EXPECT_EQ(run.result.out, "");
        EXPECT_TRUE(run.created.empty()) << ::testing::PrintToString(run.created);
    }
}

} // namespace
