// How a run of the tool ended: its exit status, the run result behind it
// and what that result means.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct RunOutcome {
    int exitStatus = 0;                 // as a shell reports it: 128 + N for signal N
    std::optional<std::int32_t> result; // none when the status stands for no run result
    std::string meaning;

    bool Succeeded() const { return result == 1; }

    // From a wait status of the tool's process.
    static RunOutcome FromWaitStatus(int waitStatus);
};
