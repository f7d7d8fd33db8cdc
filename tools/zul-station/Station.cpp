#include "Station.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "RunJournal.h"
#include "ToolProcess.h"

namespace fs = std::filesystem;

namespace {

constexpr int kAllSucceeded = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsageError = 2;
constexpr std::chrono::milliseconds kProgressInterval{250};

std::string HostName() {
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// What every record of this station says alike; "results" stays in the
// journal, so that only a station with the same results file records a run.
Json Common(const StationOptions& options, const FirmwareIdentity& identity) {
    Json tags = Json::object();
    for (const auto& [key, value] : options.tags) {
        tags[key] = value;
    }
    std::error_code failure;
    return {{"firmware", ResultsFile::Firmware(options.firmware, identity)},
            {"station", HostName()},
            {"tool_version", ZUL_TOOL_VERSION},
            {"tags", tags},
            {"results", options.results.empty()
                            ? Json(nullptr)
                            : Json(fs::absolute(options.results, failure).string())}};
}

// Results that another attempt would give again for certain: the file, the
// identification checks, the command line, the log file; and a status that
// stands for no run (the port name not a number).
bool WorthRetrying(const RunOutcome& outcome) {
    if (!outcome.result) {
        return outcome.exitStatus > 128; // ended by a signal
    }
    const std::int32_t result = *outcome.result;
    return result < 0 && result != -3 && result != -256 && result != -257 && result != -260 &&
           result != -261;
}

// The run folders "<dir>/<slot>/run-<n>", each slot's in order of n.
std::vector<fs::path> RunFolders(const std::string& dir) {
    std::vector<std::pair<std::pair<std::string, long>, fs::path>> found;
    std::error_code failure;
    for (fs::directory_iterator slot(dir, failure), end; !failure && slot != end;
         slot.increment(failure)) {
        std::error_code ignored;
        for (fs::directory_iterator run(slot->path(), ignored), last; !ignored && run != last;
             run.increment(ignored)) {
            const std::string name = run->path().filename().string();
            if (name.starts_with("run-") && name.size() > 4 &&
                name.find_first_not_of("0123456789", 4) == std::string::npos) {
                found.push_back(
                    {{slot->path().filename().string(), std::stol(name.substr(4))}, run->path()});
            }
        }
    }
    std::sort(found.begin(), found.end());
    std::vector<fs::path> folders;
    for (const auto& entry : found) {
        folders.push_back(entry.second);
    }
    return folders;
}

std::string ReadText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::erase(text, '\r');
    return text;
}

std::string InProgress(std::size_t runs) {
    return runs == 1 ? "the run in progress" : "the " + std::to_string(runs) + " runs in progress";
}

} // namespace

Station::Station(StationOptions given, SlotsFile sockets, std::string toolPath)
    : options(std::move(given)), slots(std::move(sockets)), tool(std::move(toolPath)),
      display(stdout) {}

int Station::Run() {
    if (!waiter.Ready()) {
        std::fprintf(stderr, "zul-station: cannot set up its event wait\n");
        return kSomeFailed;
    }
    const FirmwareCheck check(options.firmware, options.checks, options.sha256);
    if (!check.OptionError().empty()) {
        std::fprintf(stderr, "zul-station: %s\n", check.OptionError().c_str());
        return kUsageError;
    }
    results = std::make_unique<ResultsFile>(options.results);
    common = Common(options, check.Identity());
    Recover(); // before any run: a device still being programmed is busy
    if (!check.Refusal().empty() || check.Verdict() != 1) {
        return RefuseFirmware(check);
    }
    if (options.http && !StartDashboard(check)) {
        return kSomeFailed;
    }
    if (options.watch) {
        WatchDeviceFolders();
    }
    Scan();
    if (!options.watch && waiting.empty() && active.empty() && finished.empty()) {
        display.Message("zul-station: no B4K found");
        return kSomeFailed;
    }
    Serve();
    return ExitStatus();
}

int Station::List(const SlotsFile& sockets) {
    const std::vector<FoundDevice> found = UsbScanner().Scan();
    if (found.empty()) {
        std::fprintf(stderr, "zul-station: no B4K found\n");
        return kSomeFailed;
    }
    std::size_t slotWidth = 0;
    std::size_t portWidth = 0;
    for (const FoundDevice& device : found) {
        slotWidth = std::max(slotWidth, device.slot.size());
        portWidth = std::max(portWidth, device.port.size());
    }
    for (const FoundDevice& device : found) {
        const std::string& port = device.port; // as discovery named it for the tool
        const std::optional<std::string> label = sockets.Label(device.slot);
        if (label) {
            std::printf("%-*s %-*s %s\n", static_cast<int>(slotWidth), device.slot.c_str(),
                        static_cast<int>(portWidth), port.c_str(), label->c_str());
        } else {
            std::printf("%-*s %s\n", static_cast<int>(slotWidth), device.slot.c_str(),
                        port.c_str());
        }
    }
    return kAllSucceeded;
}

// The runs a station before this one started and did not record: those
// ended are recorded now, with their own result; those still going are
// waited for and recorded when they end. Either way their device counts as
// served, so it is not started again while it stays plugged in.
void Station::Recover() {
    for (const fs::path& folder : RunFolders(options.dir)) {
        if (RunJournal::Recorded(folder.string())) {
            continue;
        }
        const std::optional<Json> journal = RunJournal::Read(folder.string());
        if (journal && journal->value("results", Json(nullptr)) == common["results"]) {
            Recover(folder.string(), *journal);
        }
    }
}

void Station::Recover(const std::string& folder, const Json& journal) {
    const pid_t pid = RunJournal::LiveTool(folder);
    if (pid <= 0 && options.results.empty()) {
        return; // nothing to record, nothing to wait for
    }
    // Stopped between the record and its mark: the record is there already.
    const std::optional<std::string> line =
        pid > 0 ? std::nullopt
                : results->Find(journal.value("folder", ""), journal.value("start", ""));
    if (line) {
        RunJournal::MarkRecorded(folder, *line + "\n");
        return;
    }
    auto run = std::make_unique<SlotRun>(folder, journal, pid);
    served[run->Slot()] = run->Instance();
    if (pid > 0 && active.count(run->Slot()) == 0) {
        run->endWatch = waiter.WatchProcess(pid);
        run->Refresh();
        display.Event(*run);
        Show(*run);
        active[run->Slot()] = std::move(run);
        return;
    }
    run->FinishAdopted();
    Record(*run);
    finished.push_back(std::move(run));
}

// The record on disk first, then the run's own mark of it; a station
// stopped in between finds the record in the file (Recover).
void Station::Record(SlotRun& run) {
    display.Event(run);
    if (options.results.empty()) {
        return;
    }
    const std::string line = ResultsFile::Record(run.Journal(), run.End());
    if (!results->Append(line)) {
        display.Message("zul-station: cannot append to " + options.results);
        return;
    }
    RunJournal::MarkRecorded(run.Folder(), line);
}

// An invalid file is shown to the tool once, with no device in its view,
// so that its own log says why; a file the checks refuse needs a device
// before the tool says so, so the station says it; as it says what only it
// refuses (another digest than the pinned one, nothing to program).
int Station::RefuseFirmware(const FirmwareCheck& check) {
    if (!check.Refusal().empty()) {
        std::fprintf(stderr, "zul-station: %s refused, no device touched: %s\n",
                     options.firmware.c_str(), check.Refusal().c_str());
        return kSomeFailed;
    }
    if (check.Verdict() != -3) {
        std::fprintf(stderr,
                     "zul-station: %s refused, no device touched: %s (every run would end "
                     "with %d)\n",
                     options.firmware.c_str(), check.Mismatch().c_str(), check.Verdict());
        return kSomeFailed;
    }
    auto run = std::make_unique<SlotRun>(options.dir, FoundDevice{});
    if (run->Folder().empty() || !run->Start(tool, options.firmware, options.checks, {})) {
        std::fprintf(stderr, "zul-station: %s is invalid\n", options.firmware.c_str());
        return kSomeFailed;
    }
    const SlotRun* probe = run.get();
    active[run->Slot()] = std::move(run);
    // Runs adopted at the start may end meanwhile; those still going are left
    // to the next start.
    while (active.count(probe->Slot()) != 0) {
        Handle(waiter.Wait());
    }
    const SlotRun& checked = *probe; // kept in `finished`
    std::fprintf(stderr, "zul-station: %s refused, no device touched: %s (%s/Log.txt):%s\n",
                 options.firmware.c_str(), checked.Outcome().meaning.c_str(),
                 checked.Folder().c_str(), ReadText(checked.Folder() + "/Log.txt").c_str());
    return kSomeFailed;
}

// Before any device is touched: a port that cannot be had ends the station.
bool Station::StartDashboard(const FirmwareCheck& check) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    board.Begin({host, ResultsFile::IsoTime(SlotStatus::Clock::now()), options.firmware,
                 check.Identity(), ZUL_TOOL_VERSION});
    if (!server.Start(*options.http)) {
        std::fprintf(stderr, "zul-station: cannot serve HTTP on %s: %s\n",
                     options.http->Url(options.http->port).c_str(), server.Error().c_str());
        return false;
    }
    display.Message("zul-station: dashboard at " + server.Url());
    return true;
}

void Station::Show(const SlotRun& run) {
    board.Update(SlotStatus::Of(run));
}

void Station::WatchDeviceFolders() {
    for (const std::string& folder : scanner.WatchedFolders()) {
        if (const int watch = waiter.WatchEntries(folder); watch >= 0) {
            deviceWatches.insert(watch);
        }
    }
}

void Station::Serve() {
    StartNext();
    while (!Done()) {
        Handle(waiter.Wait());
    }
    std::vector<const SlotRun*> runs;
    for (const auto& run : finished) {
        runs.push_back(run.get());
    }
    display.Summary(runs);
}

void Station::Handle(const StationEvents& events) {
    if (events.interrupts > 0) {
        Interrupt(events.interrupts);
    }
    if (events.childEnded) {
        Reap();
    }
    if (events.resized) {
        display.Resize();
    }
    for (const int watch : events.processesEnded) {
        Adopted(watch);
    }
    if (events.tick) {
        Adopted(-1);
    }
    if (events.alarm) {
        ReadProgress();
    }
    bool devicesChanged = options.watch && events.tick;
    for (const auto& [watch, name] : events.changed) {
        devicesChanged = devicesChanged || deviceWatches.count(watch) != 0;
        if (name.empty() || name == SlotRun::kProgressFile) {
            RefreshRuns(watch);
        }
    }
    for (auto& [slot, run] : active) {
        if (events.tick) {
            display.Refresh(*run); // the elapsed seconds
        }
    }
    if (devicesChanged) {
        Scan();
    }
    StartNext();
}

void Station::RefreshRuns(int watch) {
    for (auto& [slot, run] : active) {
        const RunState before = run->State();
        const bool ours = run->moduleWatch == watch || run->progressWatch == watch;
        if (ours && run->Refresh()) {
            (run->State() != before ? display.Event(*run) : display.Refresh(*run));
            Show(*run);
        }
    }
}

// The dashboard alone reads every run's progress a few times a second: the
// tool renames a value into the folder for each frame, and a wake for each
// would cost more than the page is worth.
void Station::ReadProgress() {
    for (auto& [slot, run] : active) {
        const RunState before = run->State();
        if (run->Refresh()) {
            if (run->State() != before) {
                display.Event(*run);
            }
            Show(*run);
        }
    }
    if (!active.empty()) {
        waiter.Alarm(kProgressInterval);
    }
}

// Without --watch, the devices present at the start; with it, every device
// in a slot that is neither busy nor still holding a device it has served.
void Station::Scan() {
    std::vector<FoundDevice> found = scanner.Scan();
    std::erase_if(found, [&](const FoundDevice& device) {
        if (!slots.Has(device.slot) &&
            leftAlone.insert(device.slot + " " + device.instance).second) {
            display.Message("zul-station: " + device.slot + ": not a socket of " + slots.Name() +
                            ", left alone");
        }
        return !slots.Has(device.slot);
    });
    const auto absent = [&](const std::string& slot) {
        return std::none_of(found.begin(), found.end(),
                            [&](const FoundDevice& device) { return device.slot == slot; });
    };
    std::erase_if(served, [&](const auto& entry) { return absent(entry.first); });
    for (const auto& [slot, label] : slots.Sockets()) {
        if (absent(slot) && active.count(slot) == 0) {
            board.Update(SlotStatus::Idle(slot, label, "empty"));
        }
    }
    for (const auto& [slot, run] : active) {
        if (absent(slot)) {
            unplugged.insert(slot); // whatever is there when the run ends is a new device
        }
    }
    waiting.clear();
    for (const FoundDevice& device : found) {
        const auto done = served.find(device.slot);
        const bool same = done != served.end() && done->second == device.instance;
        if (active.count(device.slot) == 0 && !same) {
            waiting.push_back(device);
            board.Update(SlotStatus::Idle(device.slot, slots.Label(device.slot), "waiting"));
        }
    }
}

bool Station::HasRoom() const {
    return options.maxParallel == 0 || active.size() < options.maxParallel;
}

void Station::StartNext() {
    while (!stopping && !waiting.empty() && HasRoom()) {
        const FoundDevice device = waiting.front();
        waiting.erase(waiting.begin());
        Start(device);
    }
}

void Station::Start(const FoundDevice& device, int attempt) {
    auto run = std::make_unique<SlotRun>(options.dir, device, slots.Label(device.slot), attempt);
    if (run->Folder().empty()) {
        display.Message("zul-station: " + device.slot + ": cannot make its run folder in " +
                        options.dir);
        ++failedStarts;
        return;
    }
    Watch(*run);
    if (!run->Start(tool, options.firmware, options.checks, common)) {
        display.Message("zul-station: " + device.slot + ": cannot start " + tool);
        Unwatch(*run);
        ++failedStarts;
        return;
    }
    display.Event(*run);
    Show(*run);
    active[device.slot] = std::move(run);
}

// Progress is read only for a terminal or the dashboard: elsewhere nobody
// sees it, and each value would wake the station.
void Station::Watch(SlotRun& run) {
    run.moduleWatch = waiter.WatchWrites(run.Folder() + "/" + SlotRun::kModuleFile);
    if (display.Terminal()) {
        run.progressWatch = waiter.WatchRenames(run.Folder());
    } else if (options.http) {
        waiter.Alarm(kProgressInterval);
    }
}

void Station::Unwatch(const SlotRun& run) {
    waiter.Unwatch(run.moduleWatch);
    waiter.Unwatch(run.progressWatch);
}

void Station::Reap() {
    int status = 0;
    for (pid_t pid = ToolProcess::Reap(status); pid > 0; pid = ToolProcess::Reap(status)) {
        const auto it = std::find_if(active.begin(), active.end(), [pid](const auto& entry) {
            return entry.second->Pid() == pid;
        });
        if (it == active.end()) {
            continue;
        }
        std::unique_ptr<SlotRun> run = std::move(it->second);
        active.erase(it);
        Unwatch(*run);
        // Its end may come before the write that says it answered: that is
        // still shown, so every run that reached the device says so.
        if (const RunState before = run->State(); run->Refresh() && run->State() != before) {
            display.Event(*run);
        }
        run->Finish(status);
        Ended(std::move(run));
    }
    if (options.watch) {
        Scan(); // a device pulled out frees its slot now, not at the next tick
    }
}

// An adopted run's tool has ended: watch `watch` said so or, where its end
// could not be watched (no pidfd_open, or the tool gone in between), a tick
// found it gone.
void Station::Adopted(int watch) {
    for (auto it = active.begin(); it != active.end();) {
        SlotRun& run = *it->second;
        const bool unwatched = watch < 0 && run.endWatch < 0 && kill(run.Pid(), 0) != 0;
        if (run.Adopted() && ((run.endWatch == watch && watch >= 0) || unwatched)) {
            std::unique_ptr<SlotRun> ended = std::move(it->second);
            it = active.erase(it);
            ended->FinishAdopted();
            Ended(std::move(ended));
        } else {
            ++it;
        }
    }
}

// Recorded before it counts as ended; then, while its device stays
// plugged in, a failed run may start again.
void Station::Ended(std::unique_ptr<SlotRun> run) {
    if (unplugged.erase(run->Slot()) == 0) {
        served[run->Slot()] = run->Instance();
    }
    if (run->Slot() != "check") {
        Record(*run);
        board.Ended(SlotStatus::Of(*run)); // after its record: the page never runs ahead of it
    } else {
        display.Event(*run);
    }
    Retry(*run);
    finished.push_back(std::move(run));
}

void Station::Retry(const SlotRun& run) {
    if (stopping || run.Adopted() || run.Attempt() > static_cast<int>(options.retries) ||
        !WorthRetrying(run.Outcome())) {
        return;
    }
    for (const FoundDevice& device : scanner.Scan()) {
        if (device.slot == run.Slot() && device.instance == run.Instance()) {
            Start(device, run.Attempt() + 1);
        }
    }
}

// The first Ctrl-C lets every running download finish; a second one
// interrupts them.
void Station::Interrupt(int count) {
    if (!stopping) {
        stopping = true;
        --count;
        display.Message(active.empty()
                            ? "zul-station: Ctrl-C: no new run; none is running"
                            : "zul-station: Ctrl-C: no new run; waiting for " +
                                  InProgress(active.size()) + " to end (Ctrl-C again interrupts)");
    }
    if (count > 0 && !active.empty()) {
        display.Message("zul-station: Ctrl-C again: interrupting " + InProgress(active.size()));
        for (const auto& [slot, run] : active) {
            ToolProcess::Interrupt(run->Pid());
        }
    }
}

bool Station::Done() const {
    if (!active.empty()) {
        return false;
    }
    return stopping || (!options.watch && waiting.empty());
}

// Over the last attempt on each device: a run followed by another attempt
// on the same device does not count.
int Station::ExitStatus() const {
    std::map<std::pair<std::string, std::string>, bool> last;
    for (const auto& run : finished) {
        last[{run->Slot(), run->Instance()}] = run->Outcome().Succeeded();
    }
    const bool allSucceeded =
        std::all_of(last.begin(), last.end(), [](const auto& device) { return device.second; });
    return allSucceeded && failedStarts == 0 && waiting.empty() ? kAllSucceeded : kSomeFailed;
}
