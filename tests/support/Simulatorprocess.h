// The b4k-sim program in the background, so that a test's own process holds
// no simulator thread, descriptor or allocation.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

class SimulatorProcess {
  public:
    // Starts `program` with `args` and waits for the terminal path it prints first.
    SimulatorProcess(const std::string& program, const std::vector<std::string>& args);
    // Terminates it and waits for its end.
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // Empty when it did not start.
    const std::string& SlavePath() const { return slavePath; }

  private:
    pid_t pid = -1;
    int out = -1;
    std::string slavePath;
};
