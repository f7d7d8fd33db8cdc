#include "FirmwareCheck.h"

#include <cstdio>

#include "Sha256.h"
#include "app/Commandlineoptions.h"
#include "firmware/Fileparser.h"
#include "runtime/Integerconversion.h"

namespace {

constexpr std::int32_t kInvalidFile = -3;
constexpr std::int32_t kMainCheckFailed = -256;
constexpr std::int32_t kSubCheckFailed = -257;

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

} // namespace

FirmwareCheck::FirmwareCheck(std::string file, const std::vector<std::string>& checks)
    : firmwarePath(std::move(file)) {
    TFileParser parser;
    if (parser.ParseFile(firmwarePath) == kInvalidFile) {
        verdict = kInvalidFile;
    } else {
        identity = {parser.GetModuleType(firmwarePath), parser.GetMainRevision(firmwarePath),
                    parser.GetSubRevision(firmwarePath), parser.GetBuildTime(firmwarePath),
                    Sha256::OfFile(firmwarePath)};
    }
    Judge(checks);
}

// In the tool's order; the first refusal counts, as in a run.
void FirmwareCheck::Judge(const std::vector<std::string>& checks) {
    TCommandLineOptions options;
    if (!ReadChecks(firmwarePath, checks, options, optionError) || verdict != 1) {
        return;
    }
    if (options.mainRevisionGiven && identity.mainRevision != options.mainRevision) {
        Refuse(kMainCheckFailed, "main revision", identity.mainRevision, options.mainRevision,
               "--msv", false);
    } else if (options.subRevisionGiven && identity.subRevision != options.subRevision) {
        Refuse(kSubCheckFailed, "sub revision", identity.subRevision, options.subRevision, "--ssv",
               false);
    } else if (options.moduleTypeGiven && identity.moduleType != options.moduleType) {
        Refuse(kMainCheckFailed, "module type", identity.moduleType, options.moduleType, "--mt",
               true);
    } else if (options.buildTimeGiven && identity.buildTime != options.buildTime) {
        Refuse(kMainCheckFailed, "build time", identity.buildTime, options.buildTime, "--bt", true);
    }
}

void FirmwareCheck::Refuse(std::int32_t result, const std::string& what, unsigned long file,
                           unsigned long expected, const char* option, bool hex) {
    char text[160];
    std::snprintf(text, sizeof text,
                  hex ? "the file's %s is %08lx and %s asks for %08lx"
                      : "the file's %s is %lu and %s asks for %lu",
                  what.c_str(), file, option, expected);
    verdict = result;
    mismatch = text;
}
