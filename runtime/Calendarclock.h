// The calendar clock in whole seconds (`time`) that the run's two long limits
// (detection and the connect window) and its download time are read from. A
// test puts a clock of its own in its place to step across a limit's edge
// exactly, instead of waiting for the real one.
#pragma once

#include <ctime>

class TCalendarClock {
  public:
    using Source = std::time_t (*)();

    static std::time_t Now();
    // Reads `source` from now on, nullptr the system clock again; returns
    // the source it replaces. Set it while no worker runs.
    static Source Use(Source source);
};
