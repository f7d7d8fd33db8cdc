#include "Processrunner.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Everything the child needs, made before the fork: a test process has
// threads (simulators), and a child of such a process may only make
// async-signal-safe calls until it execs; an allocation there can deadlock.
struct ChildPlan {
    std::vector<std::string> argTexts;
    std::vector<std::string> envTexts;
    std::vector<char*> argv;
    std::vector<char*> envp;
};

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The caller's environment with the options' variables set over it.
std::vector<std::string> Environment(const ProcessOptions& options) {
    std::vector<std::string> texts;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(options.env.begin(), options.env.end(),
                                          [&](const auto& pair) { return pair.first == name; });
        if (!replaced) {
            texts.push_back(text);
        }
    }
    for (const auto& [name, value] : options.env) {
        texts.push_back(name + "=" + value);
    }
    return texts;
}

[[noreturn]] void ExecChild(const std::string& program, ChildPlan& plan,
                            const ProcessOptions& options, int outFd, int errFd) {
    int gone[2];
    if (options.output == StandardOutput::ReaderGone && pipe(gone) == 0) {
        close(gone[0]);
        outFd = gone[1];
    }
    if (outFd >= 0) {
        dup2(outFd, 1);
    }
    if (errFd >= 0) {
        dup2(errFd, 2);
    }
    if (options.output == StandardOutput::Closed) {
        close(1);
    }
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
        _exit(127);
    }
    execve(program.c_str(), plan.argv.data(), plan.envp.data());
    _exit(127);
}

// Reads both pipes until they close or the deadline passes.
bool Collect(int outFd, int errFd, ProcessResult& result, Clock::time_point deadline) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    return true;
}

} // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const auto start = Clock::now();
    const pid_t pid = StartProcess(program, args, options, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    ProcessResult result;
    const auto deadline = start + std::chrono::duration<double>(options.timeoutSeconds);
    if (!Collect(outPipe[0], errPipe[0], result,
                 std::chrono::time_point_cast<Clock::duration>(deadline))) {
        kill(pid, SIGKILL);
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

pid_t StartProcess(const std::string& program, const std::vector<std::string>& args,
                   const ProcessOptions& options, int outFd, int errFd) {
    ChildPlan plan;
    plan.argTexts.push_back(program);
    plan.argTexts.insert(plan.argTexts.end(), args.begin(), args.end());
    plan.envTexts = Environment(options);
    plan.argv = Pointers(plan.argTexts);
    plan.envp = Pointers(plan.envTexts);
    const pid_t pid = fork();
    if (pid == 0) {
        ExecChild(program, plan, options, outFd, errFd);
    }
    return pid;
}

std::string ToolPath() {
    const char* path = std::getenv("ZUL_TOOL");
    return path != nullptr ? path : "Download_ZUL_Console";
}
