#include "runtime/Calendarclock.h"

#include <atomic>

namespace {

std::time_t SystemTime() {
    return std::time(nullptr);
}

// Read by the worker thread as well as the driver's.
std::atomic<TCalendarClock::Source> source{SystemTime};

} // namespace

std::time_t TCalendarClock::Now() {
    return source.load(std::memory_order_acquire)();
}

TCalendarClock::Source TCalendarClock::Use(Source replacement) {
    return source.exchange(replacement != nullptr ? replacement : SystemTime,
                           std::memory_order_acq_rel);
}
