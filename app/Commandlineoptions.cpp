#include "app/Commandlineoptions.h"

#include <array>
#include <cstring>

#include "runtime/Integerconversion.h"

std::int32_t FindOption(std::int32_t count, const char* const* arguments, const char* option) {
    const std::size_t n = std::strlen(option);
    for (std::int32_t i = 0; i < count; ++i) {
        // strncmp stops at the argument's terminator, so a shorter one never matches.
        if (std::strncmp(arguments[i], option, n) == 0) {
            return i;
        }
    }
    return -1;
}

namespace {

struct Arguments {
    std::int32_t count;
    const char* const* values;

    // The index of the option when a value follows it, else -1.
    std::int32_t ValueIndex(const char* option) const {
        const std::int32_t i = FindOption(count, values, option);
        return i > 0 && i < count - 1 ? i + 1 : -1;
    }
    bool Present(const char* option) const { return FindOption(count, values, option) > 0; }
};

bool AnyOptionPresent(const Arguments& args) {
    static constexpr std::array<const char*, 12> kOptions = {
        "--help",    "--com", "--bt",  "--if", "--of",       "--v",
        "--verbose", "--msv", "--ssv", "--mt", "--progress", "--infomod"};
    for (const char* option : kOptions) {
        if (FindOption(args.count, args.values, option) != -1) {
            return true;
        }
    }
    return false;
}

// A file option that must have a value when present; false on a usage error.
bool TakeFileOption(const Arguments& args, const char* option, std::string& field) {
    if (!args.Present(option)) {
        return true;
    }
    const std::int32_t value = args.ValueIndex(option);
    if (value < 0) {
        return false;
    }
    field = args.values[value];
    return true;
}

template <typename Field>
void TakeIntegerOption(const Arguments& args, const char* option, Field& field,
                       std::int32_t* given) {
    if (const std::int32_t value = args.ValueIndex(option); value > 0) {
        field = static_cast<Field>(StrToInt(args.values[value])); // keeps the low bits
        if (given != nullptr) {
            *given = 1;
        }
    }
}

void TakeHexOption(const Arguments& args, const char* option, std::uint32_t& field,
                   std::int32_t& given) {
    if (const std::int32_t value = args.ValueIndex(option); value > 0) {
        field = ScanHex(args.values[value]);
        given = 1;
    }
}

// Everything after the input file: none of it can be a usage error.
void TakeOptionalValues(const Arguments& args, TCommandLineOptions& options) {
    TakeIntegerOption(args, "--msv", options.mainRevision, &options.mainRevisionGiven);
    TakeIntegerOption(args, "--ssv", options.subRevision, &options.subRevisionGiven);
    TakeHexOption(args, "--mt", options.moduleType, options.moduleTypeGiven);
    TakeHexOption(args, "--bt", options.buildTime, options.buildTimeGiven);
    TakeIntegerOption(args, "--com", options.comPort, nullptr);
}

} // namespace

void ParseCommandLine(std::int32_t count, const char* const* arguments,
                      TCommandLineOptions& options) {
    options = TCommandLineOptions{};
    const Arguments args{count, arguments};
    if (!AnyOptionPresent(args)) {
        options.usageError = 1;
        return;
    }
    if (count == 2 && FindOption(count, arguments, "--help") != -1) {
        options.helpRequested = 1;
        return;
    }
    if (args.Present("--v") || args.Present("--verbose")) {
        options.verbose = 1;
    }
    const std::int32_t input = args.ValueIndex("--if");
    if (input < 0) {
        options.usageError = 1;
        return;
    }
    options.inputFile = arguments[input];
    if (const std::int32_t log = args.ValueIndex("--of"); log > 0) {
        options.logFile = arguments[log];
    }
    if (!TakeFileOption(args, "--progress", options.progressFile) ||
        !TakeFileOption(args, "--infomod", options.moduleInfoFile)) {
        options.usageError = 1;
        return;
    }
    TakeOptionalValues(args, options);
}

const std::string& UsageMessage() {
    static const std::string text = "\r\nType --help for a detail list of function options"
                                    "\r\n\r\nExample :  Download_ZUL_console --help\r\n";
    return text;
}

const std::string& HelpText() {
    static const std::string text =
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
    return text;
}
