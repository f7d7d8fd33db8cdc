#include "ToolProcess.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kToolName = "Download_ZUL_Console";

bool IsExecutable(const fs::path& file) {
    return access(file.c_str(), X_OK) == 0 && fs::is_regular_file(file);
}

std::vector<std::string> Environment(const std::vector<std::pair<std::string, std::string>>& env) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const auto& [name, value] : env) {
            replaced = replaced || text.starts_with(name + "=");
        }
        if (!replaced) {
            entries.push_back(text);
        }
    }
    for (const auto& [name, value] : env) {
        entries.push_back(name + "=" + value);
    }
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// In the child: only async-signal-safe calls until exec.
[[noreturn]] void BecomeTool(const char* tool, char* const* argv, char* const* envp,
                             const char* folder) {
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    // The station's blocked signals are its own; and a background start that
    // ignored SIGINT must not keep its forwarded interrupt from the tool.
    signal(SIGINT, SIG_DFL);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = open("/dev/null", O_RDWR);
    if (null < 0 || chdir(folder) != 0) {
        _exit(127);
    }
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execve(tool, argv, envp);
    _exit(127);
}

} // namespace

std::string ToolProcess::Locate() {
    std::error_code failure;
    const fs::path self = fs::read_symlink("/proc/self/exe", failure);
    if (!failure && IsExecutable(self.parent_path() / kToolName)) {
        return (self.parent_path() / kToolName).string();
    }
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "";
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t colon = std::min(folders.find(':', start), folders.size());
        const fs::path candidate = fs::absolute(
            fs::path(colon > start ? folders.substr(start, colon - start) : ".") / kToolName,
            failure);
        if (!failure && IsExecutable(candidate)) {
            return candidate.string();
        }
        start = colon + 1;
    }
    return {};
}

pid_t ToolProcess::Start(const std::string& tool, const std::vector<std::string>& args,
                         const std::string& folder,
                         const std::vector<std::pair<std::string, std::string>>& env) {
    std::vector<std::string> argTexts = {kToolName};
    argTexts.insert(argTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = Environment(env);
    std::vector<char*> argv = Pointers(argTexts);
    std::vector<char*> envp = Pointers(envTexts);
    const pid_t pid = fork();
    if (pid == 0) {
        BecomeTool(tool.c_str(), argv.data(), envp.data(), folder.c_str());
    }
    if (pid > 0) {
        setpgid(pid, 0); // also here: a Ctrl-C right after the fork must not reach it
    }
    return pid;
}

void ToolProcess::Interrupt(pid_t pid) {
    kill(pid, SIGINT);
}

pid_t ToolProcess::Reap(int& waitStatus) {
    const pid_t pid = waitpid(-1, &waitStatus, WNOHANG);
    return pid > 0 ? pid : -1;
}
