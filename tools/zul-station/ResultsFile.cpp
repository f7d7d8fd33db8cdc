#include "ResultsFile.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A line that a station killed in the middle of an append left without its
// end: the next record starts on a line of its own.
bool EndsOpen(int fd) {
    struct stat info {};
    char last = '\n';
    return fstat(fd, &info) == 0 && info.st_size > 0 &&
           pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n';
}

// A new file's name is durable once its folder is.
void SyncFolder(const std::string& file) {
    const std::filesystem::path folder = std::filesystem::absolute(file).parent_path();
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

} // namespace

ResultsFile::ResultsFile(std::string file) : path(std::move(file)) {}

std::string ResultsFile::IsoTime(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string ResultsFile::Hex8(std::uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

Json ResultsFile::Firmware(const std::string& file, const FirmwareIdentity& identity) {
    return {{"file", file},
            {"module_type", Hex8(identity.moduleType)},
            {"main_revision", identity.mainRevision},
            {"sub_revision", identity.subRevision},
            {"build_time", Hex8(identity.buildTime)},
            {"sha256", identity.sha256}};
}

std::string ResultsFile::Line(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string ResultsFile::Record(const Json& journal, const RunEnd& end) {
    const auto optional = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
    const Json fields = {
        {"slot", journal.value("slot", "")},
        {"label", journal.value("label", Json(nullptr))},
        {"start", journal.value("start", "")},
        {"end", end.end},
        {"result", optional(end.result)},
        {"exit_status", optional(end.exitStatus)},
        {"module_type", end.moduleType ? Json(Hex8(*end.moduleType)) : Json(nullptr)},
        {"firmware", journal.value("firmware", Json::object())},
        {"folder", journal.value("folder", "")},
        {"attempt", journal.value("attempt", 1)},
        {"station", journal.value("station", "")},
        {"tool_version", journal.value("tool_version", "")},
        {"tags", journal.value("tags", Json::object())},
        {"recovered", end.recovered},
    };
    return Line(fields);
}

// One write of the whole line to a file opened for appending, then to disk.
bool ResultsFile::Append(const std::string& line) const {
    if (path.empty()) {
        return true;
    }
    const bool existed = std::filesystem::exists(path);
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const std::string text = EndsOpen(fd) ? "\n" + line : line;
    ssize_t written = -1;
    do {
        written = write(fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    bool whole = written == static_cast<ssize_t>(text.size());
    struct stat info {};
    if (!whole && written > 0 && fstat(fd, &info) == 0) {
        // A disk full: no half record stays.
        [[maybe_unused]] const bool undone = ftruncate(fd, info.st_size - written) == 0;
    }
    whole = whole && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (!existed) {
        SyncFolder(path);
    }
    return whole && closed;
}

// The two fields as Record writes them, with its replacement of bytes.
std::optional<std::string> ResultsFile::Find(const std::string& folder,
                                             const std::string& start) const {
    const auto field = [](const char* name, const std::string& value) {
        std::string text = Json(name).dump();
        text += ':';
        text += Json(value).dump(-1, ' ', false, Json::error_handler_t::replace);
        return text;
    };
    const std::string folderField = field("folder", folder);
    const std::string startField = field("start", start);
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(folderField) != std::string::npos &&
            line.find(startField) != std::string::npos) {
            return line;
        }
    }
    return std::nullopt;
}
