#include "RunJournal.h"

#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kToolName = "Download_ZUL_Console";

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Whole or absent, whenever the station is killed: written beside, then
// renamed over. Not flushed to disk: what these files guard against is the
// station's process dying, which the kernel's cache outlives; the record
// itself is flushed (ResultsFile), and a machine that loses power loses its
// runs too.
bool WriteWhole(const fs::path& file, const std::string& text) {
    const fs::path temporary = file.string() + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const bool closed = close(fd) == 0;
    std::error_code failure;
    if (written && closed) {
        fs::rename(temporary, file, failure);
    }
    if (!written || !closed || failure) {
        fs::remove(temporary, failure);
        return false;
    }
    return true;
}

// The number after `prefix` up to `suffix`, e.g. "(error : " -5 ")".
std::optional<std::int32_t> NumberBetween(const std::string& log, std::string_view prefix,
                                          std::string_view suffix) {
    const std::size_t at = log.find(prefix);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const char* begin = log.data() + at + prefix.size();
    const char* end = log.data() + log.size();
    std::int32_t value = 0;
    const auto [stop, failure] = std::from_chars(begin, end, value);
    const std::string_view rest(stop, static_cast<std::size_t>(end - stop));
    return failure == std::errc{} && rest.starts_with(suffix) ? std::optional(value) : std::nullopt;
}

// The tool's process with `folder` as its working directory.
bool IsToolIn(const std::string& pid, const fs::path& folder) {
    std::error_code failure;
    const fs::path proc = fs::path("/proc") / pid;
    const fs::path cwd = fs::read_symlink(proc / "cwd", failure);
    if (failure || cwd != folder) {
        return false;
    }
    const std::string command = ReadFile(proc / "cmdline");
    return std::string_view(command.c_str()) == kToolName; // its argv[0], as the station gave it
}

} // namespace

bool RunJournal::Write(const std::string& folder, const Json& journal) {
    return WriteWhole(fs::path(folder) / kJournalFile, ResultsFile::Line(journal));
}

std::optional<Json> RunJournal::Read(const std::string& folder) {
    Json journal = Json::parse(ReadFile(fs::path(folder) / kJournalFile), nullptr, false);
    if (!journal.is_object()) {
        return std::nullopt;
    }
    return journal;
}

void RunJournal::Forget(const std::string& folder) {
    std::error_code ignored;
    fs::remove(fs::path(folder) / kJournalFile, ignored);
}

bool RunJournal::Recorded(const std::string& folder) {
    std::error_code ignored;
    return fs::exists(fs::path(folder) / kRecordFile, ignored);
}

bool RunJournal::MarkRecorded(const std::string& folder, const std::string& line) {
    return WriteWhole(fs::path(folder) / kRecordFile, line);
}

// The outcome lines of the log: the download's result line, a check's
// failure line, the device not found or the file invalid.
std::optional<std::int32_t> RunJournal::ResultFromLog(const std::string& folder) {
    const std::string log = ReadFile(fs::path(folder) / "Log.txt");
    if (log.find("\r\nDownload was successful") != std::string::npos) {
        return 1;
    }
    if (const auto code = NumberBetween(log, "\r\nError downloading the file (error : ", ")")) {
        return code;
    }
    if (log.find("\n\rError : File sub version is ") != std::string::npos) {
        return -257;
    }
    for (const char* check : {"main version", "module type", "build time"}) {
        if (log.find("\n\rError : File " + std::string(check) + " is ") != std::string::npos) {
            return -256;
        }
    }
    if (log.find("\r\n No B4K found !!") != std::string::npos) {
        return -2;
    }
    if (log.find("\r\nB4K auto detection gave COM ") == std::string::npos &&
        log.ends_with(" is invalid!!")) {
        return -3;
    }
    return std::nullopt;
}

pid_t RunJournal::LiveTool(const std::string& folder) {
    std::error_code failure;
    const fs::path canonical = fs::canonical(folder, failure);
    DIR* proc = opendir("/proc");
    pid_t found = -1;
    for (dirent* entry = proc != nullptr ? readdir(proc) : nullptr; entry != nullptr && found < 0;
         entry = readdir(proc)) {
        const std::string_view name = entry->d_name;
        pid_t pid = 0;
        const auto [stop, bad] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (!failure && bad == std::errc{} && stop == name.data() + name.size() &&
            IsToolIn(entry->d_name, canonical)) {
            found = pid;
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return found;
}
