// b4k-sim: the simulated B4K device as a program, so that the tool and the
// factory scripts can be tried without hardware.
#include <array>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <unistd.h>

#include "B4kSimulator.h"
#include "DeviceProtocol.h"

namespace {

constexpr int kStartFailed = 1;
constexpr int kUsageError = 2;
constexpr int kPortHungUp = 3;

constexpr const char* kHelpHead =
    R"(Usage: b4k-sim [OPTION]...
A simulated B4K device on a pseudo-terminal, or with --tty on an existing serial
port. Prints the port's path on the first line of standard output, then serves
until SIGINT, SIGTERM or the simulated hang-up, removes its link and exits with
status 0. A port that cannot be opened ends it with status 1. A hang-up of the
--tty port (its USB host went away) ends it with a message and status 3; it does
not wait for the port to come back.

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
     [](auto v, auto& o) { return !(o.usbPath = v).empty() && v.find('/') == v.npos; }},
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

const OptionEntry* FindOption(std::string_view name) {
    for (const OptionEntry& entry : kOptions) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

struct CommandLine {
    SimulatorOptions options;
    bool help = false;
    std::string error; // empty when the command line is usable
};

// Takes argument i (and its value); returns the index of the next one.
int TakeArgument(int argc, char** argv, int i, CommandLine& line) {
    const std::string_view name = argv[i];
    const OptionEntry* entry = FindOption(name);
    if (entry == nullptr) {
        line.error = "unknown option '" + std::string(name) + "'";
    } else if (entry->argument.empty()) {
        (name == "--help" ? line.help : line.options.device.silent) = true;
    } else if (i + 1 >= argc) {
        line.error = "option '" + std::string(name) + "' needs a value";
    } else if (!entry->set(argv[i + 1], line.options)) {
        line.error =
            "bad value '" + std::string(argv[i + 1]) + "' for option '" + std::string(name) + "'";
    } else {
        return i + 2;
    }
    return i + 1;
}

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc && line.error.empty();) {
        i = TakeArgument(argc, argv, i, line);
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
        return kStartFailed;
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
