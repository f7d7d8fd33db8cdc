#include "SlotRun.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <vector>

#include "ToolProcess.h"

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

} // namespace

SlotRun::SlotRun(const std::string& dir, const FoundDevice& device)
    : slot(device.slot.empty() ? "check" : device.slot), instance(device.instance),
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

bool SlotRun::Start(const std::string& tool, const std::string& firmware,
                    const std::vector<std::string>& checks) {
    std::vector<std::string> args = {"--if", firmware};
    args.insert(args.end(), checks.begin(), checks.end());
    args.insert(args.end(), {"--progress", kProgressFile, "--infomod", kModuleFile});
    started = Clock::now();
    pid = ToolProcess::Start(
        tool, args, folder,
        {{"ZUL_SYSFS_ROOT", pin->SysfsRoot()}, {"ZUL_PORT_DIR", pin->PortDir()}});
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

long SlotRun::ElapsedSeconds() const {
    const Clock::time_point end =
        state == RunState::Done || state == RunState::Failed ? ended : Clock::now();
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(end - started).count());
}
