#include "Processrunner.h"

#include "Spawner.h"
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
    if (pid < 0) { // as a shell says it
        return {127, 0, "", "cannot start " + program + "\n", 0};
    }
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
    SpawnOptions spawn;
    spawn.folder = options.workingDirectory;
    spawn.env = options.env;
    spawn.ownProcessGroup = options.ownProcessGroup;
    spawn.out = outFd;
    spawn.err = errFd;
    int gone[2] = {-1, -1};
    if (options.output == StandardOutput::ReaderGone && pipe2(gone, O_CLOEXEC) == 0) {
        close(gone[0]);
        spawn.out = gone[1];
    }
    if (options.output == StandardOutput::Closed) {
        spawn.out = Spawner::kClosed;
    }
    const pid_t pid = Spawner::Start(program, args, spawn);
    if (gone[1] >= 0) {
        close(gone[1]);
    }
    return pid;
}

std::string ToolPath() {
    const char* path = std::getenv("ZUL_TOOL");
    return path != nullptr ? path : "Download_ZUL_Console";
}
