#include "Processrunner.h"

#include "Tempdir.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

// The output goes to files, which need no reader while the program runs.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
    const Tempdir dir;
    const int out = open(dir.File("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int err = open(dir.File("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const pid_t pid = StartProcess(program, args, options, out, err);
    close(out);
    close(err);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() - start > std::chrono::duration<double>(options.timeoutSeconds)) {
            kill(pid, SIGKILL);
        }
        usleep(1000);
    }
    ProcessResult result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.out = ReadText(dir.File("out"));
    result.err = ReadText(dir.File("err"));
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
