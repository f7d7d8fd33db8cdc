// A time limit for one blocking system call that has none of its own, such
// as tcdrain or the wait for unsent output inside close: from the limit on,
// a signal whose handler does nothing reaches the calling thread every few
// milliseconds until the object goes, and a signal ends such a wait (EINTR).
#pragma once

#include <chrono>
#include <csignal>
#include <ctime>

namespace serialport {

class BlockingLimit {
  public:
    explicit BlockingLimit(std::chrono::nanoseconds limit);
    ~BlockingLimit();
    BlockingLimit(const BlockingLimit&) = delete;
    BlockingLimit& operator=(const BlockingLimit&) = delete;

    // False when no timer could be made: the call then has no limit.
    bool Armed() const { return armed; }

  private:
    timer_t timer{};
    bool armed = false;
    sigset_t previousMask{};
};

} // namespace serialport
