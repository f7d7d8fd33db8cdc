// The command line on arbitrary argument vectors: the input split at zero
// bytes, entry 0 included. A conversion error is the one exception allowed.
// The integer and "%x" conversions are also run on every argument alone.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "app/Commandlineoptions.h"
#include "runtime/Integerconversion.h"

namespace {

std::string Hex(std::uint32_t value) {
    char text[8];
    return {text, std::to_chars(text, text + sizeof text, value, 16).ptr};
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

// An accepted integer reads back from its own decimal and hexadecimal text.
// "%x" reads as the C library does, which saturates past 64 bits where
// ScanHex keeps the low bits.
void CheckConversions(const std::string& text) {
    if (!ConversionFails(text)) {
        const std::int32_t value = StrToInt(text);
        FUZZ_REQUIRE(text.find_first_not_of(" +-$xX0123456789abcdefABCDEF") == std::string::npos);
        FUZZ_REQUIRE(StrToInt(std::to_string(value)) == value);
        FUZZ_REQUIRE(StrToInt("$" + Hex(static_cast<std::uint32_t>(value))) == value);
    }
    const std::uint32_t value = ScanHex(text, 0);
    const bool nothingRead = value != ScanHex(text, 1);
    unsigned int library = 1;
    const bool libraryRead = std::sscanf(text.c_str(), "%x", &library) == 1;
    FUZZ_REQUIRE(libraryRead != nothingRead);
    FUZZ_REQUIRE(!libraryRead || library == value || library == 0xFFFFFFFFu);
    FUZZ_REQUIRE(ScanHex(Hex(value)) == value && ScanHex("0X" + Hex(value)) == value);
    FUZZ_REQUIRE(ScanHex(" -" + Hex(value)) == 0u - value);
}

// The first argument that begins with `option`, as the option rules look it
// up (any argument, the program's own path included); -1 when none does.
std::int32_t Find(const std::vector<const char*>& argv, std::string_view option) {
    const auto at = std::ranges::find_if(
        argv, [option](std::string_view argument) { return argument.starts_with(option); });
    return at == argv.end() ? -1 : static_cast<std::int32_t>(at - argv.begin());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<const char*> argv = {text.c_str()};
    for (std::size_t i = 0; i < size; ++i) {
        if (text[i] == '\0') {
            argv.push_back(&text[i + 1]);
        }
    }
    for (const char* argument : argv) {
        CheckConversions(argument);
    }
    const auto count = static_cast<std::int32_t>(argv.size());
    // The one failure that ends a run: the value of one of the integer options.
    bool valueFails = false;
    for (const char* option : {"--msv", "--ssv", "--com"}) {
        const std::int32_t i = Find(argv, option);
        valueFails = valueFails || (i > 0 && i < count - 1 && ConversionFails(argv[i + 1]));
    }
    TCommandLineOptions options;
    bool failed = false;
    try {
        ParseCommandLine(count, argv.data(), options);
    } catch (const EConvertError&) {
        failed = true;
    }
    // Usage errors and the help request stop the parse before any conversion.
    FUZZ_REQUIRE(failed == (valueFails && options.usageError == 0 && options.helpRequested == 0));
    if (!failed && options.usageError == 0 && options.helpRequested == 0) {
        const std::int32_t input = Find(argv, "--if");
        FUZZ_REQUIRE(input > 0 && input < count - 1 && options.inputFile == argv[input + 1]);
    }
    return 0;
}
