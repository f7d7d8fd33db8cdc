// Everything the station waits for, in one blocking wait: Ctrl-C or SIGTERM, the end
// of a tool, a change in a watched folder (a device or port that came or
// went, a run's progress or module file written) and a once-a-second tick.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

struct StationEvents {
    int interrupts = 0;      // SIGINTs and SIGTERMs received: both mean Ctrl-C
    bool childEnded = false; // SIGCHLD: reap
    bool tick = false;       // a second has passed
    bool alarm = false;      // the alarm set with Alarm has gone off
    // Watches whose folder changed, with the entry's name.
    std::vector<std::pair<int, std::string>> changed;
};

class EventWaiter {
  public:
    // Blocks SIGINT, SIGTERM and SIGCHLD: from now on they arrive as events
    // only, and threads started later never take them.
    EventWaiter();
    ~EventWaiter();
    EventWaiter(const EventWaiter&) = delete;
    EventWaiter& operator=(const EventWaiter&) = delete;

    bool Ready() const;
    // Entries created, removed or renamed in `folder`; -1 when it cannot be watched.
    int WatchEntries(const std::string& folder);
    // `file` closed after writing.
    int WatchWrites(const std::string& file);
    // Files renamed into `folder`.
    int WatchRenames(const std::string& folder);
    void Unwatch(int watch);
    // An alarm `delay` from now, unless one is already set.
    void Alarm(std::chrono::milliseconds delay);

    // Blocks until something happened.
    StationEvents Wait();

  private:
    void TakeChanges(StationEvents& events);

    int signals = -1;
    int inotify = -1;
    int timer = -1;
    int alarm = -1;
    bool alarmSet = false;
};
