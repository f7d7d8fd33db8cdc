#include "Processrunner.h"

#include "Tempdir.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// The output goes to files, which need no reader while the program runs.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
    const Tempdir dir;
    const int out = open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int err = open(dir.File("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = StartProcess(program, args, options, out, err);
    close(out);
    close(err);
    // The wait wakes when the program ends; past the time-out it is killed.
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd watch{ended, POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(options.timeoutSeconds * 1000)) == 0) {
        kill(pid, SIGKILL);
    }
    close(ended);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            WIFSIGNALED(status) ? WTERMSIG(status) : 0, ReadText(dir.File("out")),
            ReadText(dir.File("err")),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

pid_t StartProcess(const std::string& program, const std::vector<std::string>& args,
                   const ProcessOptions& options, int outFd, int errFd) {
    // Everything the child needs is made before the fork: a test process has
    // threads (simulators), and a child of such a process may only make
    // async-signal-safe calls until it execs; an allocation there can deadlock.
    // env(1) sets the options' variables over the caller's, then runs the program.
    std::vector<std::string> texts = {"/usr/bin/env"};
    for (const auto& [name, value] : options.env) {
        texts.push_back(name + "=" + value);
    }
    texts.push_back(program);
    texts.insert(texts.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& text : texts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    int gone[2];
    if (options.output == StandardOutput::ReaderGone && pipe(gone) == 0) {
        close(gone[0]);
        outFd = gone[1];
    }
    dup2(outFd, 1); // a descriptor of -1 fails, and the caller's stays
    dup2(errFd, 2);
    if (options.output == StandardOutput::Closed) {
        close(1);
    }
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
        _exit(127);
    }
    execve(argv[0], argv.data(), environ);
    _exit(127);
}

std::string ToolPath() {
    const char* path = std::getenv("ZUL_TOOL");
    return path != nullptr ? path : "Download_ZUL_Console";
}
