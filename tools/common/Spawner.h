// Starting a program as a child process with posix_spawn: the one way the
// station, the benchmark and the test support start programs. The parent
// makes everything beforehand, so it is safe from a process with threads.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// Where one of the child's standard streams goes: a descriptor of the
// caller's (0 and up), or one of Spawner's k* values.
using StreamTarget = int;

struct SpawnOptions {
    std::string name;                                     // argv[0]; empty: the program
    std::string folder;                                   // empty: the caller's
    std::vector<std::pair<std::string, std::string>> env; // set over the caller's
    StreamTarget in = -1;
    StreamTarget out = -1;
    StreamTarget err = -1;
    // A process group of its own, so that the terminal's Ctrl-C reaches only
    // the caller, which decides whether to pass it on.
    bool ownProcessGroup = false;
    // Signals set back to their default action, even when the caller ignores them.
    std::vector<int> defaultSignals;
};

class Spawner {
  public:
    static constexpr StreamTarget kInherit = -1; // the caller's own stream
    static constexpr StreamTarget kNull = -2;    // /dev/null
    static constexpr StreamTarget kClosed = -3;  // no stream at all

    // Starts `program` (a name without a slash is looked up on PATH) with
    // `args`, every signal unblocked. Its pid; -1 with errno set when it
    // cannot be started (no such program or folder, not executable).
    static pid_t Start(const std::string& program, const std::vector<std::string>& args,
                       const SpawnOptions& options = {});
};
