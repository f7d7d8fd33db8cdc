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
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "B4kSimulator.h"
#include "Spawner.h"

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

// The tool (or the station) in the scratch folder, its output in a file
// there, its devices' views and the tool beside it in its environment.
pid_t StartChild(const BenchRunSetup& setup, const std::string& dir) {
    const bool station = !setup.stationPath.empty();
    const char* path = std::getenv("PATH");
    SpawnOptions options;
    options.folder = dir;
    options.env = {
        {"PATH", fs::path(setup.toolPath).parent_path().string() + ":" + (path ? path : "")},
        {"ZUL_PORT_DIR", dir + "/ports"},
        {"ZUL_SYSFS_ROOT", dir + "/sys"}};
    const int output =
        open((dir + "/tool.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) {
        return -1;
    }
    options.out = output;
    options.err = output;
    const pid_t child = Spawner::Start(station ? setup.stationPath : setup.toolPath,
                                       {"--if", setup.firmwarePath}, options);
    close(output);
    return child;
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
    const Clock::time_point forked = Clock::now();
    const pid_t child = StartChild(setup, dir.Path());
    if (child < 0) {
        result.error = std::string("cannot start: ") + std::strerror(errno);
        return result;
    }
    Reap(child, result, !setup.stationPath.empty());
    result.wallMs = MsBetween(forked, Clock::now());
    result.startMs = MsBetween(simulatorZero, forked);
    for (const auto& device : devices) {
        device->Stop();
    }
    result.capture = simulator.Capture();
    return result;
}
