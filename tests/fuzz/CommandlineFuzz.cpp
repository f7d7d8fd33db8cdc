// The command line on arbitrary argument vectors: the input split at zero
// bytes, entry 0 included. A conversion error is the one exception allowed.
// The integer and "%x" conversions are also run on every argument alone.
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "FuzzCheck.h"
#include "app/Commandlineoptions.h"
#include "runtime/Integerconversion.h"

namespace {

auto Fields(const TCommandLineOptions& o) {
    return std::tie(o.usageError, o.helpRequested, o.verbose, o.mainRevisionGiven,
                    o.subRevisionGiven, o.moduleTypeGiven, o.buildTimeGiven, o.inputFile, o.logFile,
                    o.progressFile, o.moduleInfoFile, o.mainRevision, o.subRevision, o.moduleType,
                    o.buildTime, o.comPort);
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%" PRIx32, value);
    return text;
}

bool ConversionFails(const std::string& text) {
    try {
        StrToInt(text);
    } catch (const EConvertError& error) {
        FUZZ_REQUIRE(error.what() == "'" + text + "' is not a valid integer value");
        return true;
    }
    return false;
}

// An accepted value reads back from its own decimal and hexadecimal text.
void CheckStrToInt(const std::string& text) {
    if (ConversionFails(text)) {
        return;
    }
    const std::int32_t value = StrToInt(text);
    FUZZ_REQUIRE(text.find_first_not_of(" +-$xX0123456789abcdefABCDEF") == std::string::npos);
    FUZZ_REQUIRE(StrToInt(std::to_string(value)) == value);
    FUZZ_REQUIRE(StrToInt("$" + Hex(static_cast<std::uint32_t>(value))) == value);
}

// "%x" as the C library reads it, which saturates past 64 bits where
// ScanHex keeps the low bits.
void CheckScanHex(const std::string& text) {
    const std::uint32_t value = ScanHex(text, 0);
    const bool nothingRead = value != ScanHex(text, 1);
    unsigned int library = 1;
    const bool libraryRead = std::sscanf(text.c_str(), "%x", &library) == 1;
    FUZZ_REQUIRE(libraryRead != nothingRead);
    FUZZ_REQUIRE(!libraryRead || library == value || library == 0xFFFFFFFFu);
    FUZZ_REQUIRE(ScanHex(Hex(value)) == value && ScanHex("0X" + Hex(value)) == value);
    FUZZ_REQUIRE(ScanHex(" -" + Hex(value)) == 0u - value);
}

// The one failure that ends a run: the value of one of the integer options.
bool IntegerValueFails(const std::vector<const char*>& argv) {
    const auto count = static_cast<std::int32_t>(argv.size());
    for (const char* option : {"--msv", "--ssv", "--com"}) {
        const std::int32_t i = FindOption(count, argv.data(), option);
        if (i > 0 && i < count - 1 && ConversionFails(argv[i + 1])) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
        CheckStrToInt(argument);
        CheckScanHex(argument);
    }
    const auto count = static_cast<std::int32_t>(argv.size());
    TCommandLineOptions options;
    bool failed = false;
    try {
        ParseCommandLine(count, argv.data(), options);
    } catch (const EConvertError&) {
        failed = true;
    }
    // Usage errors and the help request stop the parse before any conversion.
    FUZZ_REQUIRE(failed == (IntegerValueFails(argv) && options.usageError == 0 &&
                            options.helpRequested == 0));
    if (failed) {
        return 0;
    }
    // Every field is set afresh, whatever the record held before.
    TCommandLineOptions reused;
    reused.usageError = reused.verbose = reused.moduleTypeGiven = 7;
    reused.inputFile = reused.logFile = "stale";
    reused.moduleType = reused.comPort = 9;
    ParseCommandLine(count, argv.data(), reused);
    FUZZ_REQUIRE(Fields(reused) == Fields(options));
    if (options.usageError == 0 && options.helpRequested == 0) {
        const std::int32_t input = FindOption(count, argv.data(), "--if");
        FUZZ_REQUIRE(input > 0 && input < count - 1 && options.inputFile == argv[input + 1]);
    }
    return 0;
}
