#include "ToolProcess.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "Spawner.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kToolName = "Download_ZUL_Console";

bool IsExecutable(const fs::path& file) {
    return access(file.c_str(), X_OK) == 0 && fs::is_regular_file(file);
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
    SpawnOptions options;
    options.name = kToolName;
    options.folder = folder;
    options.env = env;
    options.in = options.out = options.err = Spawner::kNull;
    options.ownProcessGroup = true;
    // A background start that ignored SIGINT must not keep the forwarded
    // interrupt from the tool; the station's blocked signals are unblocked anyway.
    options.defaultSignals = {SIGINT};
    return Spawner::Start(tool, args, options);
}

void ToolProcess::Interrupt(pid_t pid) {
    kill(pid, SIGINT);
}

pid_t ToolProcess::Reap(int& waitStatus) {
    const pid_t pid = waitpid(-1, &waitStatus, WNOHANG);
    return pid > 0 ? pid : -1;
}
