#include "ResultsFile.h"

#include <cstdio>
#include <ctime>

namespace {

// A JSON string: quotes, backslashes and control characters escaped.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string Hex8(std::uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "\"%08x\"", value);
    return text;
}

std::string FirmwareObject(const std::string& path, const FirmwareIdentity& firmware) {
    return "{\"file\":" + Quoted(path) + ",\"module_type\":" + Hex8(firmware.moduleType) +
           ",\"main_revision\":" + std::to_string(firmware.mainRevision) +
           ",\"sub_revision\":" + std::to_string(firmware.subRevision) +
           ",\"build_time\":" + Hex8(firmware.buildTime) +
           ",\"sha256\":" + Quoted(firmware.sha256) + "}";
}

} // namespace

ResultsFile::ResultsFile(std::string file, std::string firmwareFile, FirmwareIdentity identity)
    : path(std::move(file)), firmwarePath(std::move(firmwareFile)), firmware(std::move(identity)) {}

std::string ResultsFile::IsoTime(SlotRun::Clock::time_point when) {
    const std::time_t seconds = SlotRun::Clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string ResultsFile::Record(const SlotRun& run, const std::string& firmwareFile,
                                const FirmwareIdentity& identity) {
    const RunOutcome& outcome = run.Outcome();
    return "{\"slot\":" + Quoted(run.Slot()) + ",\"start\":\"" + IsoTime(run.Started()) +
           "\",\"end\":\"" + IsoTime(run.Ended()) +
           "\",\"result\":" + (outcome.result ? std::to_string(*outcome.result) : "null") +
           ",\"exit_status\":" + std::to_string(outcome.exitStatus) +
           ",\"module_type\":" + (run.ModuleType() ? Hex8(*run.ModuleType()) : "null") +
           ",\"firmware\":" + FirmwareObject(firmwareFile, identity) +
           ",\"folder\":" + Quoted(run.Folder()) + "}\n";
}

// One write of the whole line to a file opened for appending.
bool ResultsFile::Append(const SlotRun& run) const {
    if (path.empty()) {
        return true;
    }
    const std::string record = Record(run, firmwarePath, firmware);
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::setvbuf(file, nullptr, _IOFBF, record.size()) == 0 &&
                         std::fwrite(record.data(), 1, record.size(), file) == record.size();
    return std::fclose(file) == 0 && written;
}
