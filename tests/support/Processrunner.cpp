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

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const pid_t pid = StartProcess(program, args, options, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    ProcessResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const std::chrono::duration<double, std::milli> left =
            start + std::chrono::duration<double>(options.timeoutSeconds) - Clock::now();
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count()) + 1) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                fds[i].fd = -1; // closed: poll skips it from now on
            }
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

pid_t StartProcess(const std::string& program, const std::vector<std::string>& args,
                   const ProcessOptions& options, int outFd, int errFd) {
    // Everything the child needs is made before the fork: a test process has
    // threads (simulators), and a child of such a process may only make
    // async-signal-safe calls until it execs; an allocation there can deadlock.
    std::vector<std::string> argTexts = {program};
    argTexts.insert(argTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts; // the caller's, with the options' set over it
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (std::none_of(options.env.begin(), options.env.end(),
                         [&](const auto& pair) { return text.starts_with(pair.first + "="); })) {
            envTexts.push_back(text);
        }
    }
    for (const auto& [name, value] : options.env) {
        envTexts.push_back(name + "=" + value);
    }
    const auto pointers = [](std::vector<std::string>& texts) {
        std::vector<char*> list;
        for (std::string& text : texts) {
            list.push_back(text.data());
        }
        list.push_back(nullptr);
        return list;
    };
    std::vector<char*> argv = pointers(argTexts), envp = pointers(envTexts);
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
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
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
}

std::string ToolPath() {
    const char* path = std::getenv("ZUL_TOOL");
    return path != nullptr ? path : "Download_ZUL_Console";
}
