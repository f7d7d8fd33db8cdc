#include "Spawner.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// The child's descriptor `target` per `where`; 0 when nothing fails.
int Route(posix_spawn_file_actions_t& actions, StreamTarget where, int target) {
    if (where == Spawner::kNull) {
        return posix_spawn_file_actions_addopen(&actions, target, "/dev/null", O_RDWR, 0);
    }
    if (where == Spawner::kClosed) {
        return posix_spawn_file_actions_addclose(&actions, target);
    }
    return where >= 0 ? posix_spawn_file_actions_adddup2(&actions, where, target) : 0;
}

int PlanFiles(posix_spawn_file_actions_t& actions, const SpawnOptions& options) {
    int failure = 0;
    if (!options.folder.empty()) {
        failure = posix_spawn_file_actions_addchdir_np(&actions, options.folder.c_str());
    }
    const std::pair<StreamTarget, int> streams[] = {
        {options.in, STDIN_FILENO}, {options.out, STDOUT_FILENO}, {options.err, STDERR_FILENO}};
    for (const auto& [where, target] : streams) {
        failure = failure != 0 ? failure : Route(actions, where, target);
    }
    return failure;
}

int PlanAttributes(posix_spawnattr_t& attributes, const SpawnOptions& options) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : options.defaultSignals) {
        sigaddset(&defaults, signal);
    }
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.ownProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP; // group 0: one named after the child
    }
    int failure = posix_spawnattr_setsigmask(&attributes, &none);
    failure = failure != 0 ? failure : posix_spawnattr_setsigdefault(&attributes, &defaults);
    return failure != 0 ? failure : posix_spawnattr_setflags(&attributes, flags);
}

// The caller's environment with `env` set over it, as "NAME=value".
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

} // namespace

pid_t Spawner::Start(const std::string& program, const std::vector<std::string>& args,
                     const SpawnOptions& options) {
    std::vector<std::string> argTexts = {options.name.empty() ? program : options.name};
    argTexts.insert(argTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = Environment(options.env);
    std::vector<char*> argv = Pointers(argTexts);
    std::vector<char*> envp = Pointers(envTexts);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    int failure = PlanFiles(actions, options);
    failure = failure != 0 ? failure : PlanAttributes(attributes, options);
    pid_t pid = -1;
    if (failure == 0) {
        failure =
            posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) {
        errno = failure;
        return -1;
    }
    return pid;
}
