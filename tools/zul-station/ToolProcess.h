// Download_ZUL_Console as a child process: started in its own folder with
// its own environment, in a process group of its own so that the
// terminal's Ctrl-C reaches the station only, and interrupted on request.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

class ToolProcess {
  public:
    // The tool beside the station's own program, else the first on PATH;
    // empty when there is none.
    static std::string Locate();

    // Starts `tool` with `args` in `folder`, with `env` set over the
    // station's environment, standard streams on /dev/null. -1 on failure.
    static pid_t Start(const std::string& tool, const std::vector<std::string>& args,
                       const std::string& folder,
                       const std::vector<std::pair<std::string, std::string>>& env);

    static void Interrupt(pid_t pid);

    // A child that has ended, and its wait status; -1 when none has.
    static pid_t Reap(int& waitStatus);
};
