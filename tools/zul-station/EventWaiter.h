// Everything the station waits for, in one blocking wait: Ctrl-C or SIGTERM,
// the end of a tool, the terminal resized, a change in a watched folder (a
// device or port that came or went, a run's progress or module file written),
// a once-a-second tick and an alarm.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

struct StationEvents {
    int interrupts = 0;      // SIGINTs and SIGTERMs received: both mean Ctrl-C
    bool childEnded = false; // SIGCHLD: reap
    bool resized = false;    // SIGWINCH: the terminal's size changed
    bool tick = false;       // a second has passed
    bool alarm = false;      // the alarm set with Alarm has gone off
    // Watches whose folder changed, with the entry's name.
    std::vector<std::pair<int, std::string>> changed;
    std::vector<int> processesEnded; // WatchProcess's watches whose process ended
};

class EventWaiter {
  public:
    // Blocks SIGINT, SIGTERM, SIGCHLD and SIGWINCH: from now on they arrive as
    // events only, and threads started later never take them.
    EventWaiter();
    ~EventWaiter();
    EventWaiter(const EventWaiter&) = delete;
    EventWaiter& operator=(const EventWaiter&) = delete;

    bool Ready() const;
    // Entries created, removed or renamed in `folder`; -1 when it cannot be watched.
    int WatchEntries(const std::string& folder);
    // `file`, which need not exist yet, closed after writing, once: the
    // change comes with an empty name. Watched through its folder, which
    // then shares the watch of WatchRenames.
    int WatchWrites(const std::string& file);
    // Files renamed into `folder`.
    int WatchRenames(const std::string& folder);
    void Unwatch(int watch);
    // The end of process `pid`, a child or not; -1 when it cannot be watched.
    // The watch ends with the event.
    int WatchProcess(pid_t pid);
    // An alarm `delay` from now, unless one is already set.
    void Alarm(std::chrono::milliseconds delay);

    // Blocks until something happened.
    StationEvents Wait();

  private:
    // What a folder's watch is for: renames into it, and the one file whose
    // write is awaited there.
    struct FolderWatch {
        std::string path;
        bool renames = false;
        std::string awaited; // empty once written
    };

    void TakeChanges(StationEvents& events);
    void WaitOnce(std::vector<pollfd>& fds, StationEvents& events);
    void Take(int watch, std::uint32_t mask, const std::string& name, StationEvents& events);
    int Watch(const std::string& folder, std::uint32_t mask);

    std::vector<int> processes; // pidfds, each its own watch
    int signals = -1;
    int inotify = -1;
    int timer = -1;
    std::map<int, FolderWatch> folders;
    int alarm = -1;
    bool alarmSet = false;
};
