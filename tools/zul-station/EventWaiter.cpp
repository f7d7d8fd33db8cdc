#include "EventWaiter.h"

#include <array>
#include <csignal>
#include <cstdint>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

sigset_t StationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
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

int EventWaiter::WatchWrites(const std::string& file) {
    return inotify_add_watch(inotify, file.c_str(), IN_CLOSE_WRITE);
}

int EventWaiter::WatchRenames(const std::string& folder) {
    return inotify_add_watch(inotify, folder.c_str(), IN_MOVED_TO | IN_ONLYDIR);
}

void EventWaiter::Unwatch(int watch) {
    if (watch >= 0) {
        inotify_rm_watch(inotify, watch);
    }
}

void EventWaiter::Alarm(std::chrono::milliseconds delay) {
    if (!alarmSet) {
        const long ms = static_cast<long>(delay.count());
        const itimerspec once{{0, 0}, {ms / 1000, ms % 1000 * 1000000}};
        alarmSet = timerfd_settime(alarm, 0, &once, nullptr) == 0;
    }
}

StationEvents EventWaiter::Wait() {
    std::array<pollfd, 4> fds{
        {{signals, POLLIN, 0}, {inotify, POLLIN, 0}, {timer, POLLIN, 0}, {alarm, POLLIN, 0}}};
    StationEvents events;
    while (poll(fds.data(), fds.size(), -1) < 0) {
    }
    signalfd_siginfo info{};
    while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGINT || info.ssi_signo == SIGTERM) {
            ++events.interrupts;
        } else {
            events.childEnded = true;
        }
    }
    std::uint64_t expirations = 0;
    events.tick = read(timer, &expirations, sizeof expirations) > 0;
    events.alarm = read(alarm, &expirations, sizeof expirations) > 0;
    alarmSet = alarmSet && !events.alarm;
    TakeChanges(events);
    return events;
}

void EventWaiter::TakeChanges(StationEvents& events) {
    alignas(inotify_event) std::array<char, 4096> buffer{};
    ssize_t size = 0;
    while ((size = read(inotify, buffer.data(), buffer.size())) > 0) {
        for (ssize_t at = 0; at < size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            events.changed.emplace_back(event->wd, event->len > 0 ? event->name : "");
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}
