// Parsing the argument vector: loose prefix matching, rule order and values.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/Commandlineoptions.h"
#include "runtime/Integerconversion.h"

// Expected records name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using Args = std::vector<std::string>;

TCommandLineOptions Parse(const Args& args, const std::string& program = "/opt/zul/tool") {
    std::vector<const char*> argv{program.c_str()};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    TCommandLineOptions options{.inputFile = "stale", .comPort = 9}; // every field must be reset
    ParseCommandLine(static_cast<std::int32_t>(argv.size()), argv.data(), options);
    return options;
}

auto Fields(const TCommandLineOptions& o) {
    return std::make_tuple(o.usageError, o.helpRequested, o.verbose, o.mainRevisionGiven,
                           o.subRevisionGiven, o.moduleTypeGiven, o.buildTimeGiven, o.inputFile,
                           o.logFile, o.progressFile, o.moduleInfoFile, o.mainRevision,
                           o.subRevision, o.moduleType, o.buildTime, int{o.comPort});
}

struct Case {
    Args args;
    TCommandLineOptions expected;
    std::string program = "/opt/zul/tool";
};

void ExpectParses(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(Fields(Parse(c.args, c.program)), Fields(c.expected))
            << c.program << " " << ::testing::PrintToString(c.args);
    }
}

// The tool's own usage and help outcomes are checked by the command-line tests.
TEST(CommandLineOptions, UsageErrorsAndHelpInRuleOrder) {
    ExpectParses({
        {{}, {.usageError = 1}},
        {{"fw.ctf", "-if", "--i"}, {.usageError = 1}},
        {{"--helpme"}, {.helpRequested = 1}},
        // Not alone, "--help" is just some option and "--if" decides.
        {{"--help", "--v"}, {.usageError = 1, .verbose = 1}},
        {{"--if", "fw.ctf", "--help"}, {.inputFile = "fw.ctf"}},
        {{"--v", "--of", "x.log"}, {.usageError = 1, .verbose = 1}},
        {{"--if", "f", "--of", "l", "--infomod"},
         {.usageError = 1, .inputFile = "f", .logFile = "l"}},
        // The dangling "--progress" ends the parse before "--msv" is converted.
        {{"--if", "f", "--msv", "abc", "--progress"}, {.usageError = 1, .inputFile = "f"}},
        {{"--msv", "abc"}, {.usageError = 1}},
    });
}

TEST(CommandLineOptions, PrefixMatchingFirstOccurrenceAndFileValues) {
    ExpectParses({
        {{"--verbose", "--if", "f"}, {.verbose = 1, .inputFile = "f"}},
        {{"--if", "f", "--vxyz"}, {.verbose = 1, .inputFile = "f"}},
        {{"--if", "a.ctf", "--if", "b.ctf"}, {.inputFile = "a.ctf"}},
        {{"--if", "--v"}, {.verbose = 1, .inputFile = "--v"}},
        {{"--of", "--iffy.log", "--if", "fw.ctf"}, {.inputFile = "--if", .logFile = "--iffy.log"}},
        {{"--if", "f", "--of"}, {.inputFile = "f"}},
        {{"--progress", "--if", "f"}, {.inputFile = "f", .progressFile = "--if"}},
        {{"--infomod", "m.bin", "--progress", "p.bin", "--if", "f", "--of", "run.log"},
         {.inputFile = "f",
          .logFile = "run.log",
          .progressFile = "p.bin",
          .moduleInfoFile = "m.bin"}},
        // An argument shorter than an option text never matches it.
        {{"--if", "f", "--m", "5", "--co", "3"}, {.inputFile = "f"}},
    });
}

// The notations themselves are checked by the integer conversion tests.
TEST(CommandLineOptions, NumericValuesKeepTheirLowBits) {
    ExpectParses({
        {{"--if", "f", "--msv", "65703", "--ssv", "-1"},
         {.mainRevisionGiven = 1,
          .subRevisionGiven = 1,
          .inputFile = "f",
          .mainRevision = 167,
          .subRevision = 0xFFFF}},
        {{"--if", "f", "--ssv", "0xA7"},
         {.subRevisionGiven = 1, .inputFile = "f", .subRevision = 167}},
        {{"--if", "f", "--com", "260"}, {.inputFile = "f", .comPort = 4}},
        {{"--if", "f", "--com", "-1"}, {.inputFile = "f", .comPort = 255}},
        {{"--if", "f", "--com", "0"}, {.inputFile = "f"}},
        {{"--if", "f", "--mt", "0x00000002", "--bt", "4B000000"},
         {.moduleTypeGiven = 1,
          .buildTimeGiven = 1,
          .inputFile = "f",
          .moduleType = 2,
          .buildTime = 0x4B000000}},
        {{"--if", "f", "--mt", "zz", "--bt", "-1"},
         {.moduleTypeGiven = 1, .buildTimeGiven = 1, .inputFile = "f", .buildTime = 0xFFFFFFFF}},
        // A value-taking option as the last argument is ignored.
        {{"--if", "f", "--msv"}, {.inputFile = "f"}},
        {{"--if", "f", "--ssv"}, {.inputFile = "f"}},
        {{"--if", "f", "--mt"}, {.inputFile = "f"}},
        {{"--if", "f", "--bt"}, {.inputFile = "f"}},
        {{"--if", "f", "--com"}, {.inputFile = "f"}},
    });
}

TEST(CommandLineOptions, ProgramPathCountsOnlyForPresenceAndHelp) {
    ExpectParses({
        {{"x"}, {.helpRequested = 1}, "--help-tool"},
        {{"x", "y"}, {.usageError = 1}, "--help-tool"},
        {{"--if", "f"}, {.usageError = 1}, "--iffy-tool"},
        {{"--if", "f", "--of", "l"}, {.inputFile = "f"}, "--of-tool"},
        {{"--if", "f"}, {.inputFile = "f"}, "--verbose-tool"},
        // "--v" stops at the path, but the "--verbose" lookup finds the argument.
        {{"--verbose", "--if", "f"}, {.verbose = 1, .inputFile = "f"}, "--v-tool"},
        {{"--if", "f", "--msv", "7"}, {.inputFile = "f"}, "--msv-tool"},
    });
}

TEST(CommandLineOptions, ConversionErrorNamesTheFirstBadValue) {
    const std::vector<std::pair<Args, std::string>> cases = {
        {{"--if", "f", "--msv", "abc", "--com", "xyz"}, "'abc' is not a valid integer value"},
        {{"--com", "x", "--if", "f", "--mt", "zz"}, "'x' is not a valid integer value"},
    };
    for (const auto& [args, message] : cases) {
        try {
            Parse(args);
            ADD_FAILURE() << "no conversion error for " << ::testing::PrintToString(args);
        } catch (const EConvertError& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
}

TEST(CommandLineOptions, FindOptionTakesTheLowestIndexWithinCount) {
    const char* const argv[] = {"--of-tool", "--ofx", "--of", "--o", "--verbose"};
    EXPECT_EQ(FindOption(5, argv, "--of"), 0);
    EXPECT_EQ(FindOption(4, argv + 1, "--of"), 0);
    EXPECT_EQ(FindOption(5, argv, "--v"), 4);
    EXPECT_EQ(FindOption(4, argv, "--v"), -1); // entries past count are not looked at
    EXPECT_EQ(FindOption(5, argv, "--ofx1"), -1);
    EXPECT_EQ(FindOption(0, argv, "--of"), -1);
}

} // namespace
