// Parsing the argument vector: loose prefix matching, rule order and values.
// The tool's usage and help outcomes are the command-line tests' part, the
// value notations the integer conversion tests'.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/Commandlineoptions.h"
#include "runtime/Integerconversion.h"

// Expected records name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using Args = std::vector<const char*>;

TCommandLineOptions Parse(const Args& argv) {
    // Every field is set afresh, whatever the record held before.
    TCommandLineOptions options{
        .usageError = 7, .verbose = 7, .inputFile = "stale", .moduleType = 9, .comPort = 9};
    ParseCommandLine(static_cast<std::int32_t>(argv.size()), argv.data(), options);
    return options;
}

auto Fields(const TCommandLineOptions& o) {
    return std::make_tuple(o.usageError, o.helpRequested, o.verbose, o.mainRevisionGiven,
                           o.subRevisionGiven, o.moduleTypeGiven, o.buildTimeGiven, o.inputFile,
                           o.logFile, o.progressFile, o.moduleInfoFile, o.mainRevision,
                           o.subRevision, o.moduleType, o.buildTime, int{o.comPort});
}

// Each argument vector starts with the program path, which takes part in
// the matching: it counts for presence and for help.
TEST(CommandLineOptions, RulesInOrderPrefixesAndValues) {
    const std::pair<Args, TCommandLineOptions> cases[] = {
        {{"/tool"}, {.usageError = 1}},
        {{"/tool", "--helpme"}, {.helpRequested = 1}},
        {{"--help-tool", "x"}, {.helpRequested = 1}},
        // Not alone, "--help" is just some option and "--if" decides.
        {{"/tool", "--help", "--v", "--of", "x.log"}, {.usageError = 1, .verbose = 1}},
        {{"/tool", "--if", "fw.ctf", "--help"}, {.inputFile = "fw.ctf"}},
        {{"--iffy-tool", "--if", "f"}, {.usageError = 1}},
        // The dangling "--progress" ends the parse before "--msv" is converted.
        {{"/tool", "--if", "f", "--msv", "abc", "--progress"}, {.usageError = 1, .inputFile = "f"}},
        {{"/tool", "--if", "a.ctf", "--if", "b.ctf", "--vxyz"},
         {.verbose = 1, .inputFile = "a.ctf"}},
        {{"/tool", "--of", "--iffy.log", "--if", "fw.ctf"},
         {.inputFile = "--if", .logFile = "--iffy.log"}},
        {{"/tool", "--infomod", "m", "--progress", "p", "--if", "f", "--of", "l"},
         {.inputFile = "f", .logFile = "l", .progressFile = "p", .moduleInfoFile = "m"}},
        // An argument shorter than an option text never matches it; a value
        // option as the last argument is ignored.
        {{"/tool", "--if", "f", "--m", "5", "--co", "3", "--of"}, {.inputFile = "f"}},
        {{"/tool", "--if", "f", "--msv", "65703", "--com", "260"},
         {.mainRevisionGiven = 1, .inputFile = "f", .mainRevision = 167, .comPort = 4}},
        {{"--msv-tool", "--if", "f", "--ssv", "-1", "--com"},
         {.subRevisionGiven = 1, .inputFile = "f", .subRevision = 0xFFFF}},
        {{"/tool", "--if", "f", "--mt", "2"},
         {.moduleTypeGiven = 1, .inputFile = "f", .moduleType = 2}},
        {{"/tool", "--if", "f", "--bt", "-1"},
         {.buildTimeGiven = 1, .inputFile = "f", .buildTime = 0xFFFFFFFF}},
    };
    for (const auto& [args, expected] : cases) {
        EXPECT_EQ(Fields(Parse(args)), Fields(expected)) << testing::PrintToString(args);
    }
}

TEST(CommandLineOptions, ConversionErrorNamesTheFirstBadValue) {
    try {
        Parse({"/tool", "--if", "f", "--msv", "abc", "--com", "xyz"});
        ADD_FAILURE() << "no conversion error";
    } catch (const EConvertError& error) {
        EXPECT_EQ(std::string(error.what()), "'abc' is not a valid integer value");
    }
}

} // namespace
