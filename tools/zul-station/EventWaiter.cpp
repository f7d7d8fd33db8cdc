#include "EventWaiter.h"

#include <array>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

sigset_t StationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGWINCH);
    return set;
}

int OneSecondTimer() {
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    const itimerspec everySecond{{1, 0}, {1, 0}};
    if (fd >= 0) {
        timerfd_settime(fd, 0, &everySecond, nullptr);
    }
    return fd;
}

} // namespace

EventWaiter::EventWaiter() {
    const sigset_t set = StationSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signals = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    timer = OneSecondTimer();
    alarm = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
}

EventWaiter::~EventWaiter() {
    for (const int fd : processes) {
        close(fd);
    }
    for (const int fd : {signals, inotify, timer, alarm}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool EventWaiter::Ready() const {
    return signals >= 0 && inotify >= 0 && timer >= 0 && alarm >= 0;
}

int EventWaiter::WatchEntries(const std::string& folder) {
    return inotify_add_watch(inotify, folder.c_str(),
                             IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
}

// Waiting for a file to be written needs no file made beforehand (a new
// file is one of the costliest steps of a start): its folder is watched for
// closes after writing until that file's comes.
int EventWaiter::WatchWrites(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash);
    const int watch = Watch(folder, IN_CLOSE_WRITE);
    if (watch >= 0) {
        folders[watch].path = folder;
        folders[watch].awaited = file.substr(slash + 1);
    }
    return watch;
}

int EventWaiter::WatchRenames(const std::string& folder) {
    const int watch = Watch(folder, IN_MOVED_TO);
    if (watch >= 0) {
        folders[watch].path = folder;
        folders[watch].renames = true;
    }
    return watch;
}

int EventWaiter::Watch(const std::string& folder, std::uint32_t mask) {
    return inotify_add_watch(inotify, folder.c_str(), mask | IN_ONLYDIR | IN_MASK_ADD);
}

void EventWaiter::Unwatch(int watch) {
    if (watch >= 0) {
        inotify_rm_watch(inotify, watch);
        folders.erase(watch);
    }
}

int EventWaiter::WatchProcess(pid_t pid) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        processes.push_back(fd);
    }
    return fd;
}

void EventWaiter::Alarm(std::chrono::milliseconds delay) {
    if (!alarmSet) {
        const long ms = static_cast<long>(delay.count());
        const itimerspec once{{0, 0}, {ms / 1000, ms % 1000 * 1000000}};
        alarmSet = timerfd_settime(alarm, 0, &once, nullptr) == 0;
    }
}

StationEvents EventWaiter::Wait() {
    std::vector<pollfd> fds{
        {signals, POLLIN, 0}, {inotify, POLLIN, 0}, {timer, POLLIN, 0}, {alarm, POLLIN, 0}};
    for (const int fd : processes) {
        fds.push_back({fd, POLLIN, 0});
    }
    StationEvents events;
    while (events.interrupts == 0 && !events.childEnded && !events.resized && !events.tick &&
           !events.alarm && events.changed.empty() && events.processesEnded.empty()) {
        WaitOnce(fds, events);
    }
    return events;
}

void EventWaiter::WaitOnce(std::vector<pollfd>& fds, StationEvents& events) {
    while (poll(fds.data(), fds.size(), -1) < 0) {
    }
    for (std::size_t i = 4; i < fds.size(); ++i) {
        if (fds[i].revents != 0) {
            events.processesEnded.push_back(fds[i].fd);
            std::erase(processes, fds[i].fd);
            close(fds[i].fd);
        }
    }
    signalfd_siginfo info{};
    while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGINT || info.ssi_signo == SIGTERM) {
            ++events.interrupts;
        } else if (info.ssi_signo == SIGWINCH) {
            events.resized = true;
        } else {
            events.childEnded = true;
        }
    }
    std::uint64_t expirations = 0;
    events.tick = read(timer, &expirations, sizeof expirations) > 0;
    events.alarm = read(alarm, &expirations, sizeof expirations) > 0;
    alarmSet = alarmSet && !events.alarm;
    TakeChanges(events);
}

void EventWaiter::TakeChanges(StationEvents& events) {
    alignas(inotify_event) std::array<char, 4096> buffer{};
    ssize_t size = 0;
    while ((size = read(inotify, buffer.data(), buffer.size())) > 0) {
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            Take(event->wd, event->mask, event->len > 0 ? event->name : "", events);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

// A folder's close after writing counts only for the awaited file, and only
// once: each progress value written later would wake the station.
void EventWaiter::Take(int watch, std::uint32_t mask, const std::string& name,
                       StationEvents& events) {
    const auto found = folders.find(watch);
    if (found == folders.end()) {
        events.changed.emplace_back(watch, name);
        return;
    }
    FolderWatch& folder = found->second;
    if ((mask & IN_MOVED_TO) != 0 && folder.renames) {
        events.changed.emplace_back(watch, name);
    }
    if ((mask & IN_CLOSE_WRITE) == 0 || folder.awaited.empty() || folder.awaited != name) {
        return; // an IN_IGNORED of a watch given up below too
    }
    folder.awaited.clear();
    events.changed.emplace_back(watch, "");
    if (folder.renames) { // the same watch, its mask replaced
        inotify_add_watch(inotify, folder.path.c_str(), IN_MOVED_TO | IN_ONLYDIR);
    } else {
        inotify_rm_watch(inotify, watch);
    }
}
