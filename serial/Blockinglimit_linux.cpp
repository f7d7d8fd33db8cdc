#include "serial/Blockinglimit_linux.h"

#include <algorithm>
#include <pthread.h>
#include <unistd.h>

// Older C libraries name the field only by its place in the union.
#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace {

// Repeated, so that a signal taken just before the call began is no loss.
constexpr std::chrono::nanoseconds kRepeat = std::chrono::milliseconds(5);

int LimitSignal() {
    return SIGRTMIN + 2;
}

// Once per process. SA_RESTART: a late signal does not disturb calls that
// would restart anyway; the waits this is for end all the same.
bool InstallHandler() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        return sigaction(LimitSignal(), &action, nullptr) == 0;
    }();
    return installed;
}

timespec ToTimespec(std::chrono::nanoseconds span) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
    return {static_cast<time_t>(seconds.count()), static_cast<long>((span - seconds).count())};
}

} // namespace

namespace serialport {

BlockingLimit::BlockingLimit(std::chrono::nanoseconds limit) {
    sigset_t signal;
    sigemptyset(&signal);
    sigaddset(&signal, LimitSignal());
    // A mask inherited from the parent process must not keep the signal out.
    pthread_sigmask(SIG_UNBLOCK, &signal, &previousMask);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = LimitSignal();
    event.sigev_notify_thread_id = gettid();
    armed = InstallHandler() && timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    if (armed) {
        // An it_value of zero would disarm the timer.
        const itimerspec when{ToTimespec(kRepeat),
                              ToTimespec(std::max(limit, std::chrono::nanoseconds(1)))};
        timer_settime(timer, 0, &when, nullptr);
    }
}

BlockingLimit::~BlockingLimit() {
    if (armed) {
        timer_delete(timer);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

} // namespace serialport
