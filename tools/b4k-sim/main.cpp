// b4k-sim: the simulated B4K device as a program, so that the tool and the
// factory scripts can be tried without hardware.
#include <array>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <getopt.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

#include "B4kSimulator.h"
#include "DeviceProtocol.h"

namespace {

constexpr int kStartFailed = 1;
constexpr int kUsageError = 2;
constexpr int kRefused = 2; // another simulator holds the COM name or USB path
constexpr int kPortHungUp = 3;

constexpr const char* kHelpHead =
    R"(Usage: b4k-sim [OPTION]...
A simulated B4K device on a pseudo-terminal, or with --tty on an existing serial
port. Prints the port's path on the first line of standard output, then serves
until SIGINT, SIGTERM or the simulated hang-up, removes its link, its sysfs entries
and the folders it made for them, and exits. A COM name (--port-dir, --com) or a
USB path (--sysfs, --usb-path) that another running b4k-sim holds is refused and
left alone; those of one that was killed are taken over.

Exit status: 0 served to its end, or this text; 1 the port, the link, the sysfs
tree or the capture file could not be made; 2 usage error, or a name that another
b4k-sim holds (its process number is named); 3 the --tty port hung up (its USB
host went away), which is not waited for.

)";
constexpr const char* kHelpTail =
    "\nNumbers are decimal, or hexadecimal after 0x; HEX is hexadecimal with or without 0x.\n";

// Decimal, or hexadecimal after "0x"; `base` 16 takes hexadecimal either way.
template <typename T>
bool ParseNumber(std::string_view text, std::uint64_t max, T& field, int base = 10) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || failure != std::errc{} || stop != end || value > max) {
        return false;
    }
    field = static_cast<T>(value);
    return true;
}

constexpr std::uint64_t kIntMax = 0x7FFFFFFF;
constexpr std::uint64_t kUint32Max = 0xFFFFFFFF;

// "T=V": V, at most `max`, for command type T.
template <typename T>
bool ParseTypeValue(std::string_view text, std::uint64_t max, std::array<T, 256>& values) {
    const std::size_t equals = text.find('=');
    std::size_t type = 0;
    T value = 0;
    if (equals == std::string_view::npos || !ParseNumber(text.substr(0, equals), 255, type) ||
        !ParseNumber(text.substr(equals + 1), max, value)) {
        return false;
    }
    values[type] = value;
    return true;
}

// "K" or "K-L": replies K to L.
bool ParseReplyRange(std::string_view text, DeviceConfig& device) {
    const std::size_t dash = text.find('-');
    device.corruptReplyLast = 0;
    return ParseNumber(text.substr(0, dash), kIntMax, device.corruptReplyNumber) &&
           (dash == std::string_view::npos ||
            (ParseNumber(text.substr(dash + 1), kIntMax, device.corruptReplyLast) &&
             device.corruptReplyLast >= device.corruptReplyNumber));
}

bool ParseEchoType(std::string_view text, int& field) {
    return ParseNumber(text, 255, field) &&
           (field == 0 || field == device::kEcho9 || field == device::kEcho16 ||
            field == device::kModuleType);
}

// One folder's own name: no way up, across or into the tree.
bool IsFolderName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == name.npos;
}

using Setter = bool (*)(std::string_view value, SimulatorOptions& options);

struct OptionEntry {
    std::string_view name;
    std::string_view argument; // empty for a flag, which the caller handles
    std::string_view help;     // one line, ending with the default
    Setter set;
};

const OptionEntry kOptions[] = {
    {"--tty", "PATH", "serve the existing serial port PATH, raw, exclusively (default: none)",
     [](auto v, auto& o) { return !(o.ttyPath = v).empty(); }},
    {"--port-dir", "DIR", "make DIR/COM<N> a link to the terminal; needs --com (default: no link)",
     [](auto v, auto& o) { return !(o.portDir = v).empty(); }},
    {"--com", "N", "the N of that link, 1 to 255; needs --port-dir (default: none)",
     [](auto v, auto& o) { return ParseNumber(v, 255, o.comNumber); }},
    {"--sysfs", "DIR", "write the USB device's fake sysfs tree under DIR (default: none)",
     [](auto v, auto& o) { return !(o.sysfsDir = v).empty(); }},
    {"--usb-path", "P", "the device's USB port path in that tree (default: 1-1)",
     [](auto v, auto& o) { return IsFolderName(o.usbPath = v); }},
    {"--capture", "FILE",
     "record each received item as a line of FILE, emptied first (default: none)",
     [](auto v, auto& o) { return !(o.capturePath = v).empty(); }},
    {"--module-type", "HEX", "module type answered to type 18 (default: 2)",
     [](auto v, auto& o) { return ParseNumber(v, kUint32Max, o.device.moduleType, 16); }},
    {"--status", "T=V", "reply status V to command type T; repeatable (default: 0 for every T)",
     [](auto v, auto& o) { return ParseTypeValue(v, 255, o.device.replyStatus); }},
    {"--silent", "", "answer nothing at all, not even the wake-up (default: off)", nullptr},
    {"--ignore-connects", "K", "give the first K connect frames no reply (default: 0)",
     [](auto v, auto& o) { return ParseNumber(v, kIntMax, o.device.ignoreConnects); }},
    {"--corrupt-reply", "K[-L]",
     "spoil the checksum of the Kth (to Lth) reply, not counting wake-ups (default: 0)",
     [](auto v, auto& o) { return ParseReplyRange(v, o.device); }},
    {"--corrupt-type", "T", "spoil the checksum of every reply to type T (default: 0, none)",
     [](auto v, auto& o) { return ParseNumber(v, 255, o.device.corruptType); }},
    {"--wrong-echo", "T", "change the first echoed byte of replies to 9, 16 or 18 (default: none)",
     [](auto v, auto& o) { return ParseEchoType(v, o.device.wrongEchoType); }},
    {"--delay", "MS", "hold every reply, wake-up answer too, back MS ms (default: 0)",
     [](auto v, auto& o) { return ParseNumber(v, kUint32Max, o.device.replyDelayMs); }},
    {"--type-delay", "T=MS", "hold replies to type T back MS ms more; repeatable (default: 0)",
     [](auto v, auto& o) { return ParseTypeValue(v, kUint32Max, o.device.typeDelayMs); }},
    {"--garbage-after", "K",
     "send 3 stray bytes right after the Kth reply, not counting wake-ups (default: 0)",
     [](auto v, auto& o) { return ParseNumber(v, kIntMax, o.device.garbageAfterReply); }},
    {"--baud", "B", "pace both directions at B baud, 11 bits a byte (default: 0, unpaced)",
     [](auto v, auto& o) { return ParseNumber(v, kUint32Max, o.device.baud); }},
    {"--hangup-after", "N", "vanish on receiving the Nth frame, unanswered (default: 0, never)",
     [](auto v, auto& o) { return ParseNumber(v, kIntMax, o.device.hangupAfterFrames); }},
    {"--help", "", "print this text and exit", nullptr},
};

void PrintHelp() {
    std::fputs(kHelpHead, stdout);
    for (const OptionEntry& entry : kOptions) {
        const std::string usage = std::string(entry.name) + " " + std::string(entry.argument);
        std::printf("  %-20s %.*s\n", usage.c_str(), static_cast<int>(entry.help.size()),
                    entry.help.data());
    }
    std::fputs(kHelpTail, stdout);
}

struct CommandLine {
    SimulatorOptions options;
    bool help = false;
    std::string error; // empty when the command line is usable
};

// Past every character, so that none is mistaken for getopt_long's own answers.
constexpr int kFirstOption = 256;

// getopt_long's table, made from kOptions: each option's value tells its entry.
std::vector<option> LongOptions() {
    std::vector<option> table;
    for (const OptionEntry& entry : kOptions) {
        table.push_back({entry.name.data() + 2,
                         entry.argument.empty() ? no_argument : required_argument, nullptr,
                         kFirstOption + static_cast<int>(table.size())});
    }
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

// Takes one option of getopt_long's (`found`, from argv[at]).
void TakeOption(int found, const char* at, CommandLine& line) {
    if (found < kFirstOption && found != ':') {
        line.error = "unknown option '" + std::string(at) + "'";
        return;
    }
    if (found == ':') {
        line.error = "option '" + std::string(at) + "' needs a value";
        return;
    }
    const OptionEntry& entry = kOptions[found - kFirstOption];
    if (entry.argument.empty()) {
        (entry.name == "--help" ? line.help : line.options.device.silent) = true;
    } else if (!entry.set(optarg, line.options)) {
        line.error =
            "bad value '" + std::string(optarg) + "' for option '" + std::string(entry.name) + "'";
    }
}

// Options only, in order, up to the first error; anything else is an error too.
CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine line;
    const std::vector<option> table = LongOptions();
    opterr = 0; // the messages are its own
    while (line.error.empty()) {
        const int at = optind;
        const int found = getopt_long(argc, argv, "+:", table.data(), nullptr);
        if (found == -1) {
            break;
        }
        TakeOption(found, argv[at], line);
    }
    if (line.error.empty() && optind < argc) {
        line.error = "unknown option '" + std::string(argv[optind]) + "'";
    }
    const bool hasDir = !line.options.portDir.empty();
    const bool hasCom = line.options.comNumber != 0;
    const bool hasSysfs = !line.options.sysfsDir.empty();
    if (!line.error.empty() || line.help) {
        return line;
    }
    if (!line.options.ttyPath.empty() && (hasDir || hasCom || hasSysfs)) {
        line.error = "--tty serves a real port, whose name and sysfs entries are real: "
                     "--port-dir, --com and --sysfs do not go with it";
    } else if (hasDir != hasCom) {
        line.error = "--port-dir and --com go together; --com takes 1 to 255";
    }
    return line;
}

// SIGINT and SIGTERM are blocked before the serving thread exists, so that
// they only make the signalfd readable, and that ends serving at once.
int Serve(SimulatorOptions options) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signals < 0) {
        std::perror("b4k-sim: signalfd");
        return kStartFailed;
    }
    options.stopFd = signals;
    B4kSimulator simulator(std::move(options));
    if (!simulator.Start()) {
        std::fprintf(stderr, "b4k-sim: %s\n", simulator.Error().c_str());
        return simulator.Refused() ? kRefused : kStartFailed;
    }
    std::printf("%s\n", simulator.SlavePath().c_str());
    std::fflush(stdout);
    simulator.WaitUntilServingEnds();
    simulator.Stop();
    ::close(signals);
    if (simulator.PortHungUp()) {
        std::fprintf(stderr, "b4k-sim: %s hung up\n", simulator.SlavePath().c_str());
        return kPortHungUp;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CommandLine line = ParseCommandLine(argc, argv);
    if (!line.error.empty()) {
        std::fprintf(stderr, "b4k-sim: %s\nTry 'b4k-sim --help'.\n", line.error.c_str());
        return kUsageError;
    }
    if (line.help) {
        PrintHelp();
        return 0;
    }
    return Serve(std::move(line.options));
}
