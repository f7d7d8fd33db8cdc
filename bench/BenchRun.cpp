#include "BenchRun.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "B4kSimulator.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC, the simulator's clock too

double MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double Ms(const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1000 + static_cast<double>(t.tv_usec) / 1000;
}

// A scratch folder that goes with its contents.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "zul-bench.XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path.empty()) {
            fs::remove_all(path, ignored);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return path; }

  private:
    std::string path;
};

// Everything the child needs is made before the fork: after it, only
// async-signal-safe calls (the simulator's thread is running).
struct ChildPlan {
    std::string dir;
    std::string output;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
};

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

ChildPlan PlanChild(const BenchRunSetup& setup, const std::string& dir) {
    const bool station = !setup.stationPath.empty();
    ChildPlan plan{dir,
                   dir + "/tool.out",
                   {station ? setup.stationPath : setup.toolPath, "--if", setup.firmwarePath},
                   {}};
    const char* path = std::getenv("PATH");
    plan.environment.push_back("PATH=" + fs::path(setup.toolPath).parent_path().string() + ":" +
                               (path != nullptr ? path : ""));
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string_view text = *variable;
        if (!text.starts_with("ZUL_PORT_DIR=") && !text.starts_with("ZUL_SYSFS_ROOT=") &&
            !text.starts_with("PATH=")) {
            plan.environment.emplace_back(text);
        }
    }
    plan.environment.push_back("ZUL_PORT_DIR=" + dir + "/ports");
    plan.environment.push_back("ZUL_SYSFS_ROOT=" + dir + "/sys");
    return plan;
}

[[noreturn]] void BecomeTool(const ChildPlan& plan, char* const* argv, char* const* envp) {
    const int output = open(plan.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (chdir(plan.dir.c_str()) != 0 || output < 0 || dup2(output, STDOUT_FILENO) < 0 ||
        dup2(output, STDERR_FILENO) < 0) {
        _exit(127);
    }
    execve(argv[0], argv, envp);
    _exit(127);
}

// A process's own CPU time, children not counted, from its /proc entry
// while it is still unreaped: the scheduler's nanoseconds where the kernel
// keeps them, else user and system time in clock ticks.
void OwnTimes(pid_t child, BenchRunResult& result) {
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT);
    double onCpuNs = 0;
    if (std::ifstream("/proc/" + std::to_string(child) + "/schedstat") >> onCpuNs) {
        result.userMs = onCpuNs / 1e6; // not split; the share needs only the sum
        result.systemMs = 0;
        return;
    }
    std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2)); // field 3 onwards
    std::string skip;
    for (int field = 3; field < 14; ++field) {
        fields >> skip;
    }
    double userTicks = 0;
    double systemTicks = 0;
    fields >> userTicks >> systemTicks;
    const double msPerTick = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    result.userMs = userTicks * msPerTick;
    result.systemMs = systemTicks * msPerTick;
}

void Reap(pid_t child, BenchRunResult& result, bool ownTimesOnly) {
    if (ownTimesOnly) {
        OwnTimes(child, result);
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            result.error = std::string("wait4: ") + std::strerror(errno);
            return;
        }
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!ownTimesOnly) {
        result.userMs = Ms(usage.ru_utime);
        result.systemMs = Ms(usage.ru_stime);
    }
    result.maxRssKiB = usage.ru_maxrss;
}

} // namespace

BenchRunResult RunTool(const BenchRunSetup& setup) {
    BenchRunResult result;
    const ScratchDir dir;
    if (dir.Path().empty()) {
        result.error = "cannot make a scratch folder";
        return result;
    }
    std::vector<std::unique_ptr<B4kSimulator>> devices;
    for (int n = 1; n <= setup.devices; ++n) {
        SimulatorOptions options;
        options.device.baud = setup.baud;
        options.device.replyDelayMs = setup.replyDelayMs;
        options.portDir = dir.Path() + "/ports";
        options.comNumber = 2 + n;
        options.sysfsDir = dir.Path() + "/sys";
        options.usbPath = "1-1." + std::to_string(n);
        devices.push_back(std::make_unique<B4kSimulator>(options));
        if (!devices.back()->Start()) {
            result.error = devices.back()->Error();
            return result;
        }
    }
    B4kSimulator& simulator = *devices.front();
    const Clock::time_point simulatorZero = Clock::now();
    ChildPlan plan = PlanChild(setup, dir.Path());
    std::vector<char*> argv = Pointers(plan.arguments);
    std::vector<char*> envp = Pointers(plan.environment);
    const Clock::time_point forked = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        BecomeTool(plan, argv.data(), envp.data());
    }
    if (child < 0) {
        result.error = std::string("fork: ") + std::strerror(errno);
        return result;
    }
    Reap(child, result, !setup.stationPath.empty());
    result.wallMs = MsBetween(forked, Clock::now());
    result.forkMs = MsBetween(simulatorZero, forked);
    for (const auto& device : devices) {
        device->Stop();
    }
    result.capture = simulator.Capture();
    return result;
}
