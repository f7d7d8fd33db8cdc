// zul-bench: measures the tool against the simulated device, paced at the
// line rate and unpaced, for each firmware file given; prints one table and
// writes it as CSV. bench/run.sh builds everything and calls it.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <getopt.h>
#include <string>
#include <string_view>
#include <vector>

#include "BenchRun.h"
#include "ResultTable.h"
#include "WireBound.h"

namespace {

constexpr const char* kUsage =
    R"(Usage: zul-bench --tool PATH [OPTION]... --firmware LABEL=FILE...
  --tool PATH          the Download_ZUL_Console to measure
  --firmware LABEL=F   a firmware file and its column label; repeatable
  --runs N             runs per figure, paced and unpaced each (default: 3)
  --baud B             the paced line rate, 11 bits a byte (default: 166666)
  --delay MS           the device's hold-back before each reply (default: 0)
  --csv FILE           also write the table as CSV to FILE
  --station PATH       also run this zul-station over sixteen paced devices at once
)";
constexpr int kSuccessStatus = 1; // the tool's exit status for a completed download

struct Firmware {
    std::string label;
    std::string path;
};

struct BenchOptions {
    std::string tool;
    std::vector<Firmware> firmware;
    unsigned runs = 3;
    std::uint32_t baud = 166666;
    std::uint32_t delayMs = 0;
    std::string csv;
    std::string station;
};

template <typename T> bool ParseNumber(std::string_view text, T& value) {
    const auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && failure == std::errc{} && end == text.data() + text.size();
}

bool ParseFirmware(std::string_view text, std::vector<Firmware>& firmware) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == text.size()) {
        return false;
    }
    const std::string path(text.substr(equals + 1));
    firmware.push_back(
        {std::string(text.substr(0, equals)), std::filesystem::absolute(path).string()});
    return true;
}

// Past every character, so that none is mistaken for getopt_long's own answers.
enum Option { kTool = 256, kFirmware, kRuns, kBaud, kDelay, kStation, kCsv };

const option kLongOptions[] = {{"tool", required_argument, nullptr, kTool},
                               {"firmware", required_argument, nullptr, kFirmware},
                               {"runs", required_argument, nullptr, kRuns},
                               {"baud", required_argument, nullptr, kBaud},
                               {"delay", required_argument, nullptr, kDelay},
                               {"station", required_argument, nullptr, kStation},
                               {"csv", required_argument, nullptr, kCsv},
                               {nullptr, 0, nullptr, 0}};

bool ParseOption(int found, std::string_view value, BenchOptions& options) {
    switch (found) {
    case kTool:
        options.tool = std::filesystem::absolute(std::string(value)).string();
        return true;
    case kFirmware:
        return ParseFirmware(value, options.firmware);
    case kRuns:
        return ParseNumber(value, options.runs) && options.runs > 0;
    case kBaud:
        return ParseNumber(value, options.baud) && options.baud > 0;
    case kDelay:
        return ParseNumber(value, options.delayMs);
    case kStation:
        options.station = std::filesystem::absolute(std::string(value)).string();
        return true;
    case kCsv:
        options.csv = value;
        return true;
    default:
        return false;
    }
}

bool ParseCommandLine(int argc, char** argv, BenchOptions& options) {
    opterr = 0; // the message is its own
    for (int at = optind, found = 0;
         (found = getopt_long(argc, argv, "-:", kLongOptions, nullptr)) != -1; at = optind) {
        if (found < kTool || !ParseOption(found, optarg, options)) {
            std::fprintf(stderr, "zul-bench: bad option '%s'\n", argv[at]);
            return false;
        }
    }
    return !options.tool.empty() && !options.firmware.empty();
}

// The metrics, in the table's order.
const MetricSpec kExchanges{"exchanges per download", "count", {}, true, 0};
const MetricSpec kFileEfficiency{"line-rate efficiency, file frames", "ratio", 1.02, true, 3};
const MetricSpec kRunEfficiency{"line-rate efficiency, whole run", "ratio", {}, true, 3};
const MetricSpec kPacedWall{"paced download, whole run", "s", {}, true, 2};
const MetricSpec kRunBound{"stop-and-wait bound, whole run", "s", {}, true, 2};
const MetricSpec kCpuShare{"CPU share, paced", "%", 5.0, true, 2};
const MetricSpec kUser{"user CPU, paced", "ms", {}, true, 0};
const MetricSpec kSystem{"system CPU, paced", "ms", {}, true, 0};
const MetricSpec kRate{"exchanges per second, unpaced", "1/s", {}, true, 0};
const MetricSpec kCpuPerExchange{"tool CPU per exchange, unpaced", "us", {}, true, 1};
const MetricSpec kStartup{"start-up to first file frame, unpaced", "ms", 50.0, false, 1};
const MetricSpec kStartupOurs{"  of it: start to first byte sent", "ms", {}, true, 1};
const MetricSpec kStartupProtocol{"  of it: 6 exchanges before the file", "ms", {}, true, 1};
const MetricSpec kPeakRss{"peak resident set size", "MiB", 8.0, false, 2};
const MetricSpec kStationWall{"station, 16 paced at once over 1 alone", "ratio", 1.05, true, 3};
const MetricSpec kStationCpu{"station's own CPU share, 16 at once", "%", 1.0, false, 2};
constexpr int kStationDevices = 16;
constexpr int kStationSuccess = 0; // every run succeeded

bool Measure(const BenchOptions& options, const Firmware& firmware, std::uint32_t baud,
             BenchRunResult& run, WireFigures& figures) {
    const BenchRunSetup setup{options.tool, firmware.path, baud, options.delayMs, {}, 1};
    run = RunTool(setup);
    if (!run.error.empty() || run.exitStatus != kSuccessStatus) {
        std::fprintf(stderr, "zul-bench: %s at %u bit/s: %s (exit status %d)\n",
                     firmware.label.c_str(), baud,
                     run.error.empty() ? "download failed" : run.error.c_str(), run.exitStatus);
        return false;
    }
    // The simulator's own byte time, rounded to whole nanoseconds as it does.
    const double byteMs = baud == 0 ? 0 : std::round(11e9 / baud) / 1e6;
    const auto analysed =
        AnalyseCapture(run.capture, {byteMs, static_cast<double>(options.delayMs)});
    if (!analysed) {
        std::fprintf(stderr, "zul-bench: %s: the capture is not that of a clean download\n",
                     firmware.label.c_str());
        return false;
    }
    figures = *analysed;
    return true;
}

void AddPaced(ResultTable& table, std::size_t column, const BenchRunResult& run,
              const WireFigures& figures) {
    table.Add(kExchanges, column, static_cast<double>(figures.exchanges));
    const double fileMs = figures.lastFrameMs - figures.firstFileFrameMs;
    table.Add(kFileEfficiency, column, fileMs / figures.fileBoundMs);
    table.Add(kRunEfficiency, column, run.wallMs / figures.runBoundMs);
    table.Add(kPacedWall, column, run.wallMs / 1000);
    table.Add(kRunBound, column, figures.runBoundMs / 1000);
    table.Add(kCpuShare, column, 100 * (run.userMs + run.systemMs) / run.wallMs);
    table.Add(kUser, column, run.userMs);
    table.Add(kSystem, column, run.systemMs);
    table.Add(kPeakRss, column, static_cast<double>(run.maxRssKiB) / 1024);
}

// The station over sixteen paced devices, against the wall time of one paced
// download by the tool alone.
bool MeasureStation(const BenchOptions& options, const Firmware& firmware, double aloneMs,
                    ResultTable& table, std::size_t column) {
    BenchRunSetup setup{options.tool, firmware.path, options.baud, options.delayMs, {}, 1};
    setup.stationPath = options.station;
    setup.devices = kStationDevices;
    const BenchRunResult run = RunTool(setup);
    if (!run.error.empty() || run.exitStatus != kStationSuccess) {
        std::fprintf(stderr, "zul-bench: station, %s: %s (exit status %d)\n",
                     firmware.label.c_str(), run.error.empty() ? "a run failed" : run.error.c_str(),
                     run.exitStatus);
        return false;
    }
    table.Add(kStationWall, column, run.wallMs / aloneMs);
    table.Add(kStationCpu, column, 100 * (run.userMs + run.systemMs) / run.wallMs);
    return true;
}

void AddUnpaced(ResultTable& table, std::size_t column, const BenchRunResult& run,
                const WireFigures& figures) {
    const double fileMs = figures.lastFrameMs - figures.firstFileFrameMs;
    table.Add(kRate, column, static_cast<double>(figures.fileExchanges - 1) * 1000 / fileMs);
    table.Add(kCpuPerExchange, column,
              1000 * (run.userMs + run.systemMs) / static_cast<double>(figures.exchanges));
    table.Add(kStartup, column, figures.firstFileFrameMs - run.startMs);
    table.Add(kStartupOurs, column, figures.wakeUpMs - run.startMs);
    table.Add(kStartupProtocol, column, figures.firstFileFrameMs - figures.wakeUpMs);
    table.Add(kPeakRss, column, static_cast<double>(run.maxRssKiB) / 1024);
}

bool MeasureAll(const BenchOptions& options, ResultTable& table) {
    for (std::size_t column = 0; column < options.firmware.size(); ++column) {
        const Firmware& firmware = options.firmware[column];
        for (unsigned r = 0; r < options.runs; ++r) {
            std::fprintf(stderr, "zul-bench: %s, run %u of %u\n", firmware.label.c_str(), r + 1,
                         options.runs);
            BenchRunResult run;
            WireFigures figures;
            if (!Measure(options, firmware, options.baud, run, figures)) {
                return false;
            }
            AddPaced(table, column, run, figures);
            if (!options.station.empty() &&
                !MeasureStation(options, firmware, run.wallMs, table, column)) {
                return false;
            }
            if (!Measure(options, firmware, 0, run, figures)) {
                return false;
            }
            AddUnpaced(table, column, run, figures);
        }
    }
    return true;
}

bool WriteCsv(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    BenchOptions options;
    if (!ParseCommandLine(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::vector<std::string> columns;
    for (const Firmware& firmware : options.firmware) {
        columns.push_back(firmware.label);
    }
    ResultTable table(columns);
    if (!MeasureAll(options, table)) {
        return 1;
    }
    std::printf("Paced at %u bit/s (11 bits a byte), reply delay %u ms; runs per figure: %u;\n"
                "median (min-max). Efficiency of the file frames: from the arrival of the\n"
                "file's first frame to that of its last, over the stop-and-wait bound of the\n"
                "replies and frames in between. Whole run: process start to exit, over the\n"
                "bound of all traffic.\n\n%s",
                options.baud, options.delayMs, options.runs, table.Text().c_str());
    if (!options.csv.empty() && !WriteCsv(options.csv, table.Csv())) {
        std::fprintf(stderr, "zul-bench: cannot write %s\n", options.csv.c_str());
        return 1;
    }
    const bool met = table.AllGoalsMet();
    std::printf("\n%s\n", met ? "All goals met." : "Some goals MISSED.");
    return 0;
}
