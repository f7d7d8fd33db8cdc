#include "Station.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <unistd.h>

#include "ToolProcess.h"

namespace {

constexpr int kAllSucceeded = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsageError = 2;
constexpr std::chrono::milliseconds kProgressInterval{250};

std::string ReadText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::erase(text, '\r');
    return text;
}

} // namespace

Station::Station(StationOptions given, std::string toolPath)
    : options(std::move(given)), tool(std::move(toolPath)), display(stdout) {}

int Station::Run() {
    if (!waiter.Ready()) {
        std::fprintf(stderr, "zul-station: cannot set up its event wait\n");
        return kSomeFailed;
    }
    const FirmwareCheck check(options.firmware, options.checks);
    if (!check.OptionError().empty()) {
        std::fprintf(stderr, "zul-station: %s\n", check.OptionError().c_str());
        return kUsageError;
    }
    if (check.Verdict() != 1) {
        return RefuseFirmware(check);
    }
    results = std::make_unique<ResultsFile>(options.results, options.firmware, check.Identity());
    if (options.http && !StartDashboard(check)) {
        return kSomeFailed;
    }
    if (options.watch) {
        WatchDeviceFolders();
    }
    Scan();
    if (!options.watch && waiting.empty()) {
        display.Message("zul-station: no B4K found");
        return kSomeFailed;
    }
    Serve();
    return ExitStatus();
}

// An invalid file is shown to the tool once, with no device in its view,
// so that its own log says why; a file the checks refuse needs a device
// before the tool says so, so the station says it.
int Station::RefuseFirmware(const FirmwareCheck& check) {
    if (check.Verdict() != -3) {
        std::fprintf(stderr,
                     "zul-station: %s refused, no device touched: %s (every run would end "
                     "with %d)\n",
                     options.firmware.c_str(), check.Mismatch().c_str(), check.Verdict());
        return kSomeFailed;
    }
    auto run = std::make_unique<SlotRun>(options.dir, FoundDevice{});
    if (run->Folder().empty() || !run->Start(tool, options.firmware, options.checks)) {
        std::fprintf(stderr, "zul-station: %s is invalid\n", options.firmware.c_str());
        return kSomeFailed;
    }
    active[run->Slot()] = std::move(run);
    while (!active.empty()) {
        Handle(waiter.Wait());
    }
    const SlotRun& checked = *finished.back();
    std::fprintf(stderr, "zul-station: %s refused, no device touched: %s (%s/Log.txt):%s\n",
                 options.firmware.c_str(), checked.Outcome().meaning.c_str(),
                 checked.Folder().c_str(), ReadText(checked.Folder() + "/Log.txt").c_str());
    return kSomeFailed;
}

// Before any device is touched: a port that cannot be had ends the station.
bool Station::StartDashboard(const FirmwareCheck& check) {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    board.Begin(
        {host, IsoUtc(SlotStatus::Clock::now()), options.firmware, check.Identity(), ZUL_VERSION});
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
    const std::vector<FoundDevice> found = scanner.Scan();
    const auto absent = [&](const std::string& slot) {
        return std::none_of(found.begin(), found.end(),
                            [&](const FoundDevice& device) { return device.slot == slot; });
    };
    std::erase_if(served, [&](const auto& entry) { return absent(entry.first); });
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
            board.Update(SlotStatus::Idle(device.slot, "waiting"));
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

void Station::Start(const FoundDevice& device) {
    auto run = std::make_unique<SlotRun>(options.dir, device);
    if (run->Folder().empty()) {
        display.Message("zul-station: " + device.slot + ": cannot make its run folder in " +
                        options.dir);
        ++failedStarts;
        return;
    }
    Watch(*run);
    if (!run->Start(tool, options.firmware, options.checks)) {
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
        run->Finish(status);
        if (unplugged.erase(run->Slot()) == 0) {
            served[run->Slot()] = run->Instance();
        }
        display.Event(*run);
        if (results && !results->Append(*run)) {
            display.Message("zul-station: cannot append to " + options.results);
        }
        board.Ended(SlotStatus::Of(*run)); // after its record: the page never runs ahead of it
        finished.push_back(std::move(run));
    }
    if (options.watch) {
        Scan(); // a device pulled out frees its slot now, not at the next tick
    }
}

// The first Ctrl-C lets every running download finish; a second one
// interrupts them.
void Station::Interrupt(int count) {
    if (!stopping) {
        stopping = true;
        --count;
        display.Message("zul-station: Ctrl-C: no new run; waiting for " +
                        std::to_string(active.size()) + " running (Ctrl-C again interrupts them)");
    }
    if (count > 0) {
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

int Station::ExitStatus() const {
    const bool allSucceeded = std::all_of(finished.begin(), finished.end(), [](const auto& run) {
        return run->Outcome().Succeeded();
    });
    return allSucceeded && failedStarts == 0 && waiting.empty() ? kAllSucceeded : kSomeFailed;
}
