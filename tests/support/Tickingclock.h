// A calendar clock one second later at each reading, from 1000 on. The
// readings are counted, so that a test sees at which one a limit was taken.
#pragma once

#include <ctime>

inline int clockReadings = 0;
inline std::time_t TickingClock() {
    return 1000 + clockReadings++;
}
