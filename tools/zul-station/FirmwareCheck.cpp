#include "FirmwareCheck.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "Sha256.h"
#include "runtime/Integerconversion.h"

namespace {

constexpr std::int32_t kInvalidFile = -3;

// How the station names each check, in the order of IdentificationItem.
struct CheckName {
    const char* what;
    const char* option;
    bool hex;
};
constexpr std::array<CheckName, 4> kCheckNames = {{{"main revision", "--msv", false},
                                                   {"sub revision", "--ssv", false},
                                                   {"module type", "--mt", true},
                                                   {"build time", "--bt", true}}};

// The tool's own reading of the check values: the same parser on the same
// arguments, so that the station refuses exactly what every run would.
bool ReadChecks(const std::string& firmware, const std::vector<std::string>& checks,
                TCommandLineOptions& options, std::string& error) {
    std::vector<const char*> argv = {"Download_ZUL_Console", "--if", firmware.c_str()};
    for (const std::string& check : checks) {
        argv.push_back(check.c_str());
    }
    try {
        ParseCommandLine(static_cast<std::int32_t>(argv.size()), argv.data(), options);
    } catch (const EConvertError& failure) { // the conversion's one way to fail
        error = failure.what();
        return false;
    }
    return true;
}

std::string Describe(const IdentificationMismatch& found) {
    const CheckName& name = kCheckNames.at(static_cast<std::size_t>(found.item));
    char text[160];
    std::snprintf(text, sizeof text,
                  name.hex ? "the file's %s is %08lx and %s asks for %08lx"
                           : "the file's %s is %lu and %s asks for %lu",
                  name.what, static_cast<unsigned long>(found.fileValue), name.option,
                  static_cast<unsigned long>(found.expectedValue));
    return text;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

FirmwareCheck::FirmwareCheck(std::string file, const std::vector<std::string>& checks,
                             const std::string& pinnedSha256)
    : firmwarePath(std::move(file)) {
    identity.sha256 = Sha256::OfFile(firmwarePath);
    const std::optional<FileIdentification> id = ReadIdentification(firmwarePath);
    if (!id) {
        verdict = kInvalidFile;
    } else {
        static_cast<FileIdentification&>(identity) = *id;
        if (id->programFrames == 0) {
            refusal = "it holds no frame besides identification records, so a run would program "
                      "nothing";
        }
    }
    Pin(pinnedSha256);
    Judge(checks, id.value_or(FileIdentification{}));
}

// A pinned digest settles it first: whatever else is wrong, it is not the file meant.
void FirmwareCheck::Pin(const std::string& pinnedSha256) {
    if (!pinnedSha256.empty() && !identity.sha256.empty() &&
        Lower(pinnedSha256) != identity.sha256) {
        refusal = "its SHA-256 is " + identity.sha256 + " and --sha256 asks for " + pinnedSha256;
    }
}

// In the tool's order; the first refusal counts, as in a run.
void FirmwareCheck::Judge(const std::vector<std::string>& checks, const FileIdentification& id) {
    TCommandLineOptions options;
    if (!ReadChecks(firmwarePath, checks, options, optionError) || verdict != 1) {
        return;
    }
    if (const auto found = CheckIdentification(options, id)) {
        verdict = found->result;
        mismatch = Describe(*found);
    }
}
