// ctf-gen: writes a firmware file of the project's own making, for the
// demonstration, the end-to-end tests and the benchmarks.
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <getopt.h>
#include <string>
#include <string_view>

#include "FirmwareGenerator.h"

namespace {

constexpr const char* kUsage =
    R"(Usage: ctf-gen [OPTION]... OUTPUT
Writes a firmware file: module type, software revision and build time
records, then data blocks until the file holds at least SIZE bytes.

  --module-type HEX    module type record (default: 2)
  --revision M.S       main and sub software revision (default: 1.0)
  --build-time N       build time record, seconds since 1970 (default: 1767225600)
  --size N[K]          at least N bytes, or N KiB (default: 16K)
  --seed N             data of another seed (default: 1)
  --help               print this text and exit
)";

template <typename T> bool ParseNumber(std::string_view text, T& value, int base = 10) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value, base);
    return !text.empty() && failure == std::errc{} && stop == end;
}

bool ParseRevision(std::string_view text, FirmwareRecipe& recipe) {
    const std::size_t dot = text.find('.');
    return dot != std::string_view::npos && ParseNumber(text.substr(0, dot), recipe.mainRevision) &&
           ParseNumber(text.substr(dot + 1), recipe.subRevision);
}

bool ParseSize(std::string_view text, std::size_t& size) {
    const bool kibibytes = text.ends_with('K') || text.ends_with('k');
    if (kibibytes) {
        text.remove_suffix(1);
    }
    if (!ParseNumber(text, size)) {
        return false;
    }
    size *= kibibytes ? 1024 : 1;
    return true;
}

// Past every character, so that none is mistaken for getopt_long's own answers.
enum Option { kModuleType = 256, kRevision, kBuildTime, kSize, kSeed, kHelp };

const option kLongOptions[] = {{"module-type", required_argument, nullptr, kModuleType},
                               {"revision", required_argument, nullptr, kRevision},
                               {"build-time", required_argument, nullptr, kBuildTime},
                               {"size", required_argument, nullptr, kSize},
                               {"seed", required_argument, nullptr, kSeed},
                               {"help", no_argument, nullptr, kHelp},
                               {nullptr, 0, nullptr, 0}};

bool ParseOption(int found, std::string_view value, FirmwareRecipe& recipe) {
    switch (found) {
    case kModuleType:
        return ParseNumber(value, recipe.moduleType, 16);
    case kRevision:
        return ParseRevision(value, recipe);
    case kBuildTime:
        return ParseNumber(value, recipe.buildTime);
    case kSize:
        return ParseSize(value, recipe.targetBytes);
    case kSeed:
        return ParseNumber(value, recipe.seed);
    default:
        return false;
    }
}

// The file appears whole or not at all.
bool WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string temporary = name + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    std::error_code failure;
    if (std::fclose(file) == 0 && written) {
        std::filesystem::rename(temporary, name, failure);
        if (!failure) {
            return true;
        }
    }
    std::filesystem::remove(temporary, failure);
    return false;
}

} // namespace

int main(int argc, char** argv) {
    FirmwareRecipe recipe;
    std::string output;
    opterr = 0; // the messages are its own
    // In order: the output file is the one argument that is not an option.
    for (int at = optind, found = 0;
         (found = getopt_long(argc, argv, "-:", kLongOptions, nullptr)) != -1; at = optind) {
        if (found == kHelp) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        const bool isOutput = found == 1 && output.empty();
        if (isOutput) {
            output = optarg;
        } else if (found < kModuleType || !ParseOption(found, optarg, recipe)) {
            std::fprintf(stderr, "ctf-gen: bad option '%s'\n%s", argv[at], kUsage);
            return 2;
        }
    }
    if (output.empty()) {
        std::fprintf(stderr, "ctf-gen: no output file\n%s", kUsage);
        return 2;
    }
    if (!WriteFile(output, GenerateFirmware(recipe))) {
        std::fprintf(stderr, "ctf-gen: cannot write %s\n", output.c_str());
        return 1;
    }
    return 0;
}
