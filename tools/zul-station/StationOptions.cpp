#include "StationOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <getopt.h>
#include <string_view>

namespace {

constexpr unsigned kMostRetries = 9;

enum Option {
    kIf = 1,
    kMsv,
    kSsv,
    kMt,
    kBt,
    kWatch,
    kResults,
    kDir,
    kMaxParallel,
    kSlots,
    kRetries,
    kTag,
    kList,
    kSummary,
    kSha256,
    kHttp,
    kHelp
};

const option kOptions[] = {
    {"if", required_argument, nullptr, kIf},
    {"msv", required_argument, nullptr, kMsv},
    {"ssv", required_argument, nullptr, kSsv},
    {"mt", required_argument, nullptr, kMt},
    {"bt", required_argument, nullptr, kBt},
    {"watch", no_argument, nullptr, kWatch},
    {"results", required_argument, nullptr, kResults},
    {"dir", required_argument, nullptr, kDir},
    {"max-parallel", required_argument, nullptr, kMaxParallel},
    {"slots", required_argument, nullptr, kSlots},
    {"retries", required_argument, nullptr, kRetries},
    {"tag", required_argument, nullptr, kTag},
    {"list", no_argument, nullptr, kList},
    {"summary", required_argument, nullptr, kSummary},
    {"sha256", required_argument, nullptr, kSha256},
    {"http", required_argument, nullptr, kHttp},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

bool ParseNumber(std::string_view text, unsigned& value) {
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    return !text.empty() && failure == std::errc{} && stop == end;
}

// A SHA-256 digest as sha256sum prints it, in either case.
bool IsSha256(std::string_view text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdefABCDEF") == text.npos;
}

// KEY=VALUE, KEY of letters, digits and '_', once only.
bool TakeTag(const std::string& text, StationOptions& options) {
    const std::size_t equals = text.find('=');
    const std::string key = text.substr(0, std::min(equals, text.size()));
    const bool wordKey = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
    });
    const bool repeated = std::any_of(options.tags.begin(), options.tags.end(),
                                      [&](const auto& tag) { return tag.first == key; });
    if (equals == std::string::npos || !wordKey || repeated) {
        return false;
    }
    options.tags.emplace_back(key, text.substr(equals + 1));
    return true;
}

// Takes option `id` with `value`; false when the value is unusable.
bool TakeValue(int id, const std::string& value, StationOptions& options) {
    switch (id) {
    case kIf: {
        std::error_code failure;
        options.firmware = std::filesystem::absolute(value, failure).string();
        return !value.empty() && !failure;
    }
    case kMsv:
    case kSsv:
    case kMt:
    case kBt:
        options.checks.insert(options.checks.end(),
                              {"--" + std::string(kOptions[id - 1].name), value});
        return true;
    case kMaxParallel:
        return ParseNumber(value, options.maxParallel) && options.maxParallel > 0;
    case kRetries:
        return ParseNumber(value, options.retries) && options.retries <= kMostRetries;
    case kTag:
        return TakeTag(value, options);
    case kSummary:
        options.summary.push_back(value);
        return !value.empty();
    case kSha256:
        options.sha256 = value;
        return IsSha256(value);
    case kHttp:
        options.http = ListenAddress::Parse(value);
        return options.http.has_value();
    default:
        break;
    }
    (id == kResults ? options.results : id == kSlots ? options.slots : options.dir) = value;
    return !value.empty();
}

// The option getopt_long stopped at, as it was typed (a long one without its value).
std::string Offending(char* const* argv) {
    const std::string_view last = argv[optind - 1];
    if (last.starts_with("--")) {
        return std::string(last.substr(0, last.find('=')));
    }
    return std::string("-") + static_cast<char>(optopt);
}

// "--m": the beginning of more than one option.
bool Ambiguous(std::string_view typed) {
    if (!typed.starts_with("--")) {
        return false;
    }
    typed.remove_prefix(2);
    int matches = 0;
    for (const option& entry : kOptions) {
        matches += entry.name != nullptr && std::string_view(entry.name).starts_with(typed) ? 1 : 0;
    }
    return matches > 1;
}

void TakeOptions(int argc, char* const* argv, StationOptions& options) {
    opterr = 0; // the messages are the station's own
    optind = 0; // a fresh scan (also for a second parse in one process)
    for (int id = 0;
         options.error.empty() && (id = getopt_long(argc, argv, ":", kOptions, nullptr)) != -1;) {
        const bool longOption = std::string_view(argv[optind - 1]).starts_with("--");
        if (id == '?' && longOption && optopt != 0) { // "--watch=1"
            options.error = "option '" + Offending(argv) + "' takes no value";
        } else if (id == '?') {
            const std::string typed = Offending(argv);
            options.error =
                (Ambiguous(typed) ? "ambiguous option '" : "unknown option '") + typed + "'";
        } else if (id == ':') {
            options.error = "option '" + Offending(argv) + "' needs a value";
        } else if (id == kWatch || id == kList || id == kHelp) {
            (id == kWatch ? options.watch : id == kList ? options.list : options.help) = true;
        } else if (!TakeValue(id, optarg, options)) {
            options.error =
                "bad value '" + std::string(optarg) + "' for '--" + kOptions[id - 1].name + "'";
        }
    }
}

// What the options ask for together; the first conflict found. Operands
// are more results files of --summary, and nothing else.
std::string Conflict(const StationOptions& options, int argc, char* const* argv) {
    if (!options.summary.empty() && options.list) {
        return "--summary and --list cannot be combined";
    }
    if (optind < argc && options.summary.empty()) {
        return "unexpected argument '" + std::string(argv[optind]) + "'";
    }
    if (!options.help && !options.list && options.summary.empty() && options.firmware.empty()) {
        return "--if FILE is required";
    }
    return {};
}

} // namespace

StationOptions StationOptions::Parse(int argc, char* const* argv) {
    StationOptions options;
    TakeOptions(argc, argv, options);
    if (options.error.empty()) {
        options.error = Conflict(options, argc, argv);
        options.summary.insert(options.summary.end(), argv + optind, argv + argc);
    }
    std::error_code failure; // the runs' views are named to tools working elsewhere
    options.dir = std::filesystem::absolute(options.dir, failure).string();
    return options;
}

const char* StationOptions::HelpText() {
    return R"(Usage: zul-station --if FILE [--msv D] [--ssv D] [--mt X] [--bt X] [--watch]
                   [--results FILE] [--dir DIR] [--max-parallel N] [--slots FILE]
                   [--retries N] [--tag KEY=VALUE]... [--sha256 HEX]
                   [--http [ADDR:]PORT]
       zul-station --list [--slots FILE]
       zul-station --summary FILE [FILE...]
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
  --slots FILE       the line's sockets, one "USBPATH LABEL" per line (# comments):
                     only these are programmed, each shown and recorded with its label
  --retries N        start a failed run again on the same device up to N more times,
                     0 to 9 (default: 0); not after an invalid file, a refused
                     identification, a usage or log file error
  --tag KEY=VALUE    put KEY (letters, digits, _) with VALUE in every record; repeatable
  --sha256 HEX       refuse FILE unless its SHA-256 is HEX, 64 hex digits as sha256sum
                     prints them (either case): pins the released image
  --list             print each B4K found: slot, the port the tool opens, label; touch
                     no device
  --summary FILE...  print per slot the runs, passed, failed, first-pass yield and most
                     frequent failure of these results files, then a total line
  --http [ADDR:]PORT serve a read-only dashboard, status, events and metrics over
                     HTTP on ADDR (default 127.0.0.1; 0.0.0.0 for the whole network,
                     without authentication) and PORT (0: any free port)
  --help             print this text and exit

Devices are found in sysfs ($ZUL_SYSFS_ROOT, default /sys) and their ports as the
tool finds them ($ZUL_PORT_DIR, default /dev/zul, else /dev/ttyACM<n>).
Download_ZUL_Console is taken from the folder of zul-station itself, else from PATH.
Each run's folder holds the tool's Log.txt, Progress.bin, ModuleInfo.bin and
AskModuleType.ctf, and the station's Run.json (and Record.json once recorded). A
station restarted with the same --dir and --results first records the runs that
ended while it was away, and waits for those still going.

On a terminal there is one line per slot, in slot order, redrawn in place and cut
to the terminal's width; otherwise one line per event. Ctrl-C starts no new run
and waits for the running ones to end; a second Ctrl-C interrupts them. SIGTERM
counts as Ctrl-C.

Exit status (without --watch; with it, the same once Ctrl-C has ended it):
  0  the last attempt on every device succeeded; --list: a B4K was found;
     --summary: every file was read
  1  a run failed, no device was found, the firmware file was refused (invalid,
     refused by the checks, another SHA-256 than --sha256, or no frame to program),
     or a results file could not be read
  2  usage error (a malformed --slots file too), or the tool was not found
)";
}
