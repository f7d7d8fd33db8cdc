// Runs a program to its end and keeps what it printed and how it ended.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

struct ProcessResult {
    int exitStatus = -1; // 0..255 when it exited; -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
    double seconds = 0;
};

// Where a child's standard output goes: to the caller, to a pipe whose reader
// has already closed, or nowhere (the descriptor closed).
enum class StandardOutput { Collected, ReaderGone, Closed };

struct ProcessOptions {
    std::string workingDirectory;                         // empty: the caller's
    std::vector<std::pair<std::string, std::string>> env; // added to the caller's
    double timeoutSeconds = 120;                          // killed past this
    StandardOutput output = StandardOutput::Collected;
    bool ownProcessGroup = false; // a job of its own, as a shell starts one
};

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// Starts `program` in the background with its standard output and error on
// the given descriptors (-1 keeps the caller's); its end is the caller's to reap.
pid_t StartProcess(const std::string& program, const std::vector<std::string>& args,
                   const ProcessOptions& options, int outFd = -1, int errFd = -1);

// The built tool, as CTest hands it over in ZUL_TOOL.
std::string ToolPath();
