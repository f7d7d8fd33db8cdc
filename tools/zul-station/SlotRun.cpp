#include "SlotRun.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#include "RunJournal.h"
#include "ToolProcess.h"
#include "app/Exitstatus.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The first "run-<n>" not yet there, made; empty when none can be.
std::string NewRunFolder(const fs::path& slotFolder) {
    std::error_code failure;
    fs::create_directories(slotFolder, failure);
    for (int n = 1; !failure; ++n) {
        const fs::path candidate = slotFolder / ("run-" + std::to_string(n));
        if (fs::create_directory(candidate, failure)) {
            return fs::absolute(candidate, failure).string();
        }
    }
    return {};
}

// The runs' views: made and removed at every start and end, on a disk they
// were most of the station's own work (each new inode is searched for among
// the recently deleted ones). So they live in a private folder on a memory
// file system: the user's runtime folder, else /dev/shm; else under `dir`.
std::string ViewsFolder(const std::string& dir) {
    static std::string views;
    struct stat status {};
    if (!views.empty() && stat(views.c_str(), &status) == 0) {
        return views; // emptied views are removed, this folder with them
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    for (const std::string base : {runtime != nullptr ? runtime : "", "/dev/shm"}) {
        std::string pattern = base + "/zul-station.XXXXXX";
        if (!base.empty() && mkdtemp(pattern.data()) != nullptr) {
            return views = pattern;
        }
    }
    return views = (fs::path(dir) / ".pins").string();
}

SlotRun::Clock::time_point ParseIsoTime(const std::string& text) {
    std::tm utc{};
    const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return end != nullptr ? SlotRun::Clock::from_time_t(timegm(&utc)) : SlotRun::Clock::now();
}

} // namespace

SlotRun::SlotRun(const std::string& dir, const FoundDevice& device,
                 std::optional<std::string> slotLabel, int attemptNumber)
    : slot(device.slot.empty() ? "check" : device.slot), label(std::move(slotLabel)),
      attempt(attemptNumber), instance(device.instance),
      folder(NewRunFolder(fs::path(dir) / slot)) {
    if (!folder.empty()) {
        const fs::path run(folder);
        pin = std::make_unique<DevicePin>(
            ViewsFolder(dir) + "/" + slot + "-" + run.filename().string(), device);
        if (!pin->Made()) {
            folder.clear();
        }
    }
}

SlotRun::SlotRun(const std::string& runFolder, Json runJournal, pid_t toolPid)
    : slot(runJournal.value("slot", "")), attempt(runJournal.value("attempt", 1)),
      instance(runJournal.value("instance", "")), folder(runFolder),
      pinFolder(runJournal.value("view", "")), journal(std::move(runJournal)), adopted(true),
      pid(toolPid), started(ParseIsoTime(journal.value("start", ""))) {
    if (journal.contains("label") && journal["label"].is_string()) {
        label = journal["label"].get<std::string>();
    }
}

bool SlotRun::Start(const std::string& tool, const std::string& firmware,
                    const std::vector<std::string>& checks, const Json& common) {
    std::vector<std::string> args = {"--if", firmware};
    args.insert(args.end(), checks.begin(), checks.end());
    args.insert(args.end(), {"--progress", kProgressFile, "--infomod", kModuleFile});
    started = Clock::now();
    journal = {{"slot", slot},
               {"label", label ? Json(*label) : Json(nullptr)},
               {"start", ResultsFile::IsoTime(started)},
               {"folder", folder},
               {"attempt", attempt},
               {"instance", instance},
               // A station after this one removes the view once the tool is gone.
               {"view", pin->Folder()}};
    // The check of an invalid file is no device's run: it keeps no journal.
    if (common.is_object()) {
        journal.update(common);
        if (!RunJournal::Write(folder, journal)) {
            return false;
        }
    }
    pid = ToolProcess::Start(
        tool, args, folder,
        {{"ZUL_SYSFS_ROOT", pin->SysfsRoot()}, {"ZUL_PORT_DIR", pin->PortDir()}});
    if (pid <= 0) {
        RunJournal::Forget(folder);
    }
    return pid > 0;
}

// The module file gets its four bytes once the device has answered and
// been asked its type: from then on the run is programming.
bool SlotRun::Refresh() {
    const int oldProgress = progress;
    const RunState oldState = state;
    const std::vector<std::uint8_t> progressBytes = ReadBytes(fs::path(folder) / kProgressFile);
    if (progressBytes.size() == 1) {
        progress = progressBytes[0];
    }
    const std::vector<std::uint8_t> module = ReadBytes(fs::path(folder) / kModuleFile);
    if (module.size() == 4) {
        moduleType = static_cast<std::uint32_t>(module[0]) | module[1] << 8 | module[2] << 16 |
                     static_cast<std::uint32_t>(module[3]) << 24;
        state = state == RunState::Probing ? RunState::Programming : state;
    }
    return progress != oldProgress || state != oldState;
}

void SlotRun::Finish(int waitStatus) {
    ended = Clock::now();
    outcome = RunOutcome::FromWaitStatus(waitStatus);
    Refresh();
    state = outcome.Succeeded() ? RunState::Done : RunState::Failed;
    pin.reset();
}

// The tool's exit status is its parent's to know, and that was the station
// before: the log says the result, and the result the status.
void SlotRun::FinishAdopted() {
    // Its view is this station's to remove, once its tool is gone: until then
    // the tool may still open its port through it.
    std::error_code ignored;
    if (!pinFolder.empty()) {
        fs::remove_all(pinFolder, ignored);
        fs::remove(fs::path(pinFolder).parent_path(), ignored); // only when emptied
    }
    // Its end is the log's last entry, however long ago that was.
    struct stat log {};
    ended = stat((fs::path(folder) / "Log.txt").c_str(), &log) == 0
                ? Clock::from_time_t(log.st_mtime)
                : Clock::now();
    const std::optional<std::int32_t> result = RunJournal::ResultFromLog(folder);
    outcome = result ? RunOutcome::FromWaitStatus(W_EXITCODE(ProcessExitStatus(*result), 0))
                     : RunOutcome{0, std::nullopt, "the run gave no result (cut off)"};
    Refresh();
    state = outcome.Succeeded() ? RunState::Done : RunState::Failed;
}

RunEnd SlotRun::End() const {
    RunEnd end{ResultsFile::IsoTime(ended), outcome.result, outcome.exitStatus, moduleType,
               adopted};
    if (adopted && !outcome.result) {
        end.exitStatus.reset();
    }
    return end;
}

long SlotRun::ElapsedSeconds() const {
    const Clock::time_point end =
        state == RunState::Done || state == RunState::Failed ? ended : Clock::now();
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(end - started).count());
}
