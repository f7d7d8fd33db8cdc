#include "Toolbench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "Commandtable.h"

namespace fs = std::filesystem;
using Bytes = ToolBench::Bytes;

const std::vector<Bytes> kQuery = {kConnectFrame, kQueryRecord, kQueryRecord, kQueryRecord};

DeviceConfig DefaultDevice(std::uint32_t moduleType) {
    return {.moduleType = moduleType};
}

bool LeavesHost(const Bytes& frame) {
    return frame[1] != 20 && frame[1] != 22;
}

std::vector<Bytes> Traffic(std::vector<Bytes> head, const std::vector<Bytes>& file,
                           std::size_t end) {
    head.push_back(kConnectFrame);
    for (std::size_t i = 0; i < end; ++i) {
        if (LeavesHost(file[i])) {
            head.push_back(file[i]);
        }
    }
    return head;
}

ToolBench::ToolBench() {
    fs::create_directories(env.Path() / "dev");
    fs::create_directories(env.Path() / "sys");
}

B4kSimulator& ToolBench::Attach(const DeviceConfig& config, int com, bool discoverable) {
    SimulatorOptions options;
    options.device = config;
    options.portDir = env.File("dev");
    options.comNumber = com;
    options.sysfsDir = discoverable ? env.File("sys") : "";
    devices.push_back(std::make_unique<B4kSimulator>(options));
    EXPECT_TRUE(devices.back()->Start()) << devices.back()->Error();
    return *devices.back();
}

void ToolBench::WriteFirmware(const std::vector<Bytes>& frames) const {
    Bytes file;
    for (const Bytes& frame : frames) {
        if (!file.empty()) {
            file.insert(file.end(), {'\r', '\n'}); // filler, never sent
        }
        file.insert(file.end(), frame.begin(), frame.end());
    }
    WriteBytes(File("fw.ctf"), file);
}

ProcessResult ToolBench::Run(const Args& extra, bool withFiles) const {
    Args args = launcher;
    args.push_back(ToolPath());
    if (withFiles) {
        args.insert(args.end(), {"--if", "fw.ctf", "--of", "run.log", "--progress", "progress.bin",
                                 "--infomod", "module.bin"});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    ProcessOptions options;
    options.workingDirectory = work.Path().string();
    options.env = {
        {"ZUL_PORT_DIR", env.File("dev")}, {"ZUL_SYSFS_ROOT", env.File("sys")}, {"TZ", "UTC"}};
    options.timeoutSeconds = 60;
    options.output = output;
    return RunProcess(args.front(), {args.begin() + 1, args.end()}, options);
}

std::set<std::string> ToolBench::Files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(work.Path())) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::vector<Bytes> Received(const B4kSimulator& sim) {
    while (sim.WaitForItems(sim.Capture().size() + 1, 200)) {
    }
    return sim.CapturedFrames();
}

std::vector<Bytes> Deduplicated(std::vector<Bytes> frames) {
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

// The progress once frame `index` of a file written by WriteFirmware is
// done: the share of the file read up to its end, in truncated percent.
static int ProgressAfter(const std::vector<Bytes>& file, std::size_t index) {
    double done = 0;
    double size = 0;
    for (std::size_t i = 0; i < file.size(); ++i) {
        size += static_cast<double>(file[i].size() + (i == 0 ? 0 : 2)); // two filler bytes
        done = i == index ? size : done;
    }
    return static_cast<int>(done / size * 100);
}

void ExpectVerboseConsole(const std::string& out, int last, const std::string& log) {
    static const std::regex update("^\rDownload : ([0-9]{3}) %");
    const std::string first = "\r\nDownload : 000 %";
    ASSERT_TRUE(out.starts_with(first)) << out;
    std::string rest = out.substr(first.size());
    int value = 0;
    for (std::smatch match; std::regex_search(rest, match, update); rest = match.suffix().str()) {
        EXPECT_GT(std::stoi(match[1].str()), value) << out;
        value = std::stoi(match[1].str());
    }
    EXPECT_EQ(value, last);
    EXPECT_EQ(rest, log + "\r\n");
}

// The longest a run may take: the probe's second, the connect windows of
// five seconds (on a clock of whole seconds) that run out, each closing at the
// end of the connect call in flight (three malformed replies at most, each a
// time-out to read and one to flush), and the waits, each the reply time-out
// of its command type followed by the pause after a malformed reply. Generous,
// for loaded machines and sanitizer builds: it tells a hang from a run, nothing finer.
static double BoundSeconds(const FaultRun& run) {
    double seconds = 1 + run.heldMs / 1000 + run.windows * (5 + 3 * (2 * 0.1 + 0.02));
    for (const std::uint8_t type : run.waits) {
        seconds += ExpectedCommandOf(type)->timeoutMs / 1000.0 + 0.02;
    }
    return 1.5 * seconds + 3;
}

void ExpectFaultRun(const FaultRun& run, bool traffic) {
    ToolBench bench;
    const B4kSimulator& sim = bench.Attach(run.device);
    bench.WriteFirmware(run.file);
    const ProcessResult result = bench.Run({"--v"});
    EXPECT_EQ(result.signal, 0) << "the tool was killed";
    EXPECT_EQ(result.exitStatus, run.status & 0xFF);
    EXPECT_LE(result.seconds, BoundSeconds(run));
    const std::string log = bench.Log();
    const MaskedLog masked = Mask(log);
    EXPECT_EQ(masked.text,
              kHeader + kFoundCom5 + Info(kModuleType, run.deviceType) + Outcome(run.status));
    ExpectDownloadTime(masked, result);
    const std::size_t done = std::min(run.done, run.file.size());
    const int progress = done == 0 ? 0 : ProgressAfter(run.file, done - 1);
    ExpectVerboseConsole(result.out, progress, log);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(bench.Read("progress.bin"),
              progress == 0 ? Bytes{} : Bytes{static_cast<std::uint8_t>(progress)});
    EXPECT_EQ(bench.Read("module.bin"), LittleEndian(run.deviceType));
    if (!traffic) {
        return;
    }
    // The failing frame went out too, unless the connect failed or its type is unknown.
    const bool failedOnTheWire =
        run.status < 0 && run.status != -4 && run.status != -14 && run.done < run.file.size();
    std::vector<Bytes> sent = Traffic({}, run.file, done + (failedOnTheWire ? 1 : 0));
    std::vector<Bytes> received = Received(sim);
    const auto ours = [](const Bytes& f) { return f == kConnectFrame || f == kQueryRecord; };
    std::erase_if(sent, ours);
    std::erase_if(received, ours);
    EXPECT_EQ(Deduplicated(received), sent);
}
