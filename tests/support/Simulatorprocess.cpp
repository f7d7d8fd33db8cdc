#include "Simulatorprocess.h"

#include "Processrunner.h"

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

SimulatorProcess::SimulatorProcess(const std::string& program,
                                   const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return;
    }
    pid = StartProcess(program, args, {}, pipeFds[1]);
    close(pipeFds[1]);
    out = pipeFds[0];
    char c = 0;
    std::string line;
    while (pid > 0 && read(out, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    if (c == '\n') {
        slavePath = line;
    }
}

SimulatorProcess::~SimulatorProcess() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    close(out);
}
