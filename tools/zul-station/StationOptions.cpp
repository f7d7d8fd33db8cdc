#include "StationOptions.h"

#include <charconv>
#include <filesystem>
#include <string_view>

namespace {

constexpr std::string_view kChecks[] = {"--msv", "--ssv", "--mt", "--bt"};

bool IsCheck(std::string_view name) {
    for (const std::string_view check : kChecks) {
        if (name == check) {
            return true;
        }
    }
    return false;
}

bool ParseCount(std::string_view text, unsigned& value) {
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    return !text.empty() && failure == std::errc{} && stop == end && value > 0;
}

// Takes option `name` with `value`; false when the value is unusable.
bool TakeValue(std::string_view name, const std::string& value, StationOptions& options) {
    if (name == "--if") {
        std::error_code failure;
        options.firmware = std::filesystem::absolute(value, failure).string();
        return !value.empty() && !failure;
    }
    if (IsCheck(name)) {
        options.checks.insert(options.checks.end(), {std::string(name), value});
        return true;
    }
    if (name == "--http") {
        options.http = ListenAddress::Parse(value);
        return options.http.has_value();
    }
    if (name == "--max-parallel") {
        return ParseCount(value, options.maxParallel);
    }
    (name == "--results" ? options.results : options.dir) = value;
    return !value.empty();
}

bool TakesValue(std::string_view name) {
    return name == "--if" || IsCheck(name) || name == "--results" || name == "--dir" ||
           name == "--max-parallel" || name == "--http";
}

} // namespace

StationOptions StationOptions::Parse(int argc, const char* const* argv) {
    StationOptions options;
    for (int i = 1; i < argc && options.error.empty(); ++i) {
        const std::string_view name = argv[i];
        if (name == "--watch" || name == "--help") {
            (name == "--watch" ? options.watch : options.help) = true;
        } else if (!TakesValue(name)) {
            options.error = "unknown option '" + std::string(name) + "'";
        } else if (i + 1 >= argc) {
            options.error = "option '" + std::string(name) + "' needs a value";
        } else if (!TakeValue(name, argv[++i], options)) {
            options.error =
                "bad value '" + std::string(argv[i]) + "' for '" + std::string(name) + "'";
        }
    }
    if (options.error.empty() && !options.help && options.firmware.empty()) {
        options.error = "--if FILE is required";
    }
    std::error_code failure; // the runs' views are named to tools working elsewhere
    options.dir = std::filesystem::absolute(options.dir, failure).string();
    return options;
}

const char* StationOptions::HelpText() {
    return R"(Usage: zul-station --if FILE [--msv D] [--ssv D] [--mt X] [--bt X] [--watch]
                   [--results FILE] [--dir DIR] [--max-parallel N] [--http [ADDR:]PORT]
Programs every B4K plugged into this machine with FILE, several at once, one
Download_ZUL_Console run per USB socket (slot, named by its USB port path such
as 1-1.3). Each run sees only its own device and works in its own folder.

  --if FILE          the firmware file; checked once before any device is touched
  --msv, --ssv D     passed to every run unchanged: expected main, sub revision
  --mt, --bt X       passed to every run unchanged: expected module type, build time
  --watch            keep going: program each device plugged into a free slot as soon
                     as its port appears, until Ctrl-C
  --results FILE     append one JSON line per finished run to FILE
  --dir DIR          where the run folders go, DIR/<slot>/run-<n> (default: ./station)
  --max-parallel N   at most N runs at once (default: every slot at once)
  --http [ADDR:]PORT serve a read-only dashboard, status, events and metrics over
                     HTTP on ADDR (default 127.0.0.1; 0.0.0.0 for the whole network,
                     without authentication) and PORT (0: any free port)
  --help             print this text and exit

Devices are found in sysfs ($ZUL_SYSFS_ROOT, default /sys) and their ports as the
tool finds them ($ZUL_PORT_DIR, default /dev/zul, else /dev/ttyACM<n>).
Download_ZUL_Console is taken from the folder of zul-station itself, else from PATH.
Each run's folder holds the tool's Log.txt, Progress.bin, ModuleInfo.bin and
AskModuleType.ctf.

On a terminal there is one line per slot, redrawn in place; otherwise one line per
event. Ctrl-C starts no new run and waits for the running ones to end; a second
Ctrl-C interrupts them. SIGTERM counts as Ctrl-C.

Exit status (without --watch; with it, the same once Ctrl-C has ended it):
  0  every run succeeded
  1  a run failed, no device was found, or the firmware file was refused
  2  usage error, or the tool was not found
)";
}
