#include "Toolbench.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

const ToolBench::Args kRunFiles = {"--if",       "fw.ctf",       "--of",      "run.log",
                                   "--progress", "progress.bin", "--infomod", "module.bin"};
const std::set<std::string> kAllFiles = {"fw.ctf", "run.log", "progress.bin", "module.bin",
                                         "AskModuleType.ctf"};
const std::vector<ToolBench::Bytes> kQuery = {kConnectFrame, kQueryRecord, kQueryRecord,
                                              kQueryRecord};

DeviceConfig DefaultDevice(std::uint32_t moduleType) {
    DeviceConfig config;
    config.moduleType = moduleType;
    return config;
}

bool LeavesHost(const ToolBench::Bytes& frame) {
    return frame[1] != 20 && frame[1] != 22;
}

std::vector<ToolBench::Bytes> Traffic(std::vector<ToolBench::Bytes> head,
                                      const std::vector<ToolBench::Bytes>& file, std::size_t end) {
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
    WriteBytes(work.File("fw.ctf"), file);
}

ProcessResult ToolBench::Run(const Args& extra, bool withFiles) const {
    Args args = launcher;
    args.push_back(ToolPath());
    if (withFiles) {
        args.insert(args.end(), kRunFiles.begin(), kRunFiles.end());
    }
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string program = args.front();
    args.erase(args.begin());
    ProcessOptions options;
    options.workingDirectory = work.Path().string();
    options.env = {
        {"ZUL_PORT_DIR", env.File("dev")}, {"ZUL_SYSFS_ROOT", env.File("sys")}, {"TZ", "UTC"}};
    options.timeoutSeconds = 60;
    options.output = output;
    return RunProcess(program, args, options);
}

std::set<std::string> ToolBench::Files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(work.Path())) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::string ToolBench::Log() const {
    return ReadText(work.File("run.log"));
}

ToolBench::Bytes ToolBench::Read(const std::string& name) const {
    return ReadBytes(work.File(name));
}

std::string ToolBench::File(const std::string& name) const {
    return work.File(name);
}

std::vector<ToolBench::Bytes> Received(const B4kSimulator& sim) {
    while (sim.WaitForItems(sim.Capture().size() + 1, 200)) {
    }
    return sim.CapturedFrames();
}

int ProgressAfter(const std::vector<ToolBench::Bytes>& file, std::size_t index) {
    double done = 0;
    double size = 0;
    for (std::size_t i = 0; i < file.size(); ++i) {
        size += static_cast<double>(file[i].size() + (i == 0 ? 0 : 2)); // two filler bytes
        done = i == index ? size : done;
    }
    return static_cast<int>(done / size * 100);
}
