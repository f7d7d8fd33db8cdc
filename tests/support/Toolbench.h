// The built tool against simulated devices: each bench has its own working
// directory, its own port folder and sysfs tree, and the simulated devices
// attached to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "B4kSimulator.h"
#include "Processrunner.h"
#include "Tempdir.h"

class ToolBench {
  public:
    using Bytes = std::vector<std::uint8_t>;
    using Args = std::vector<std::string>;

    ToolBench();

    B4kSimulator& Attach(const DeviceConfig& config, int com = 5, bool discoverable = true);
    // fw.ctf: the frames, a line end between each two as filler the tool skips.
    void WriteFirmware(const std::vector<Bytes>& frames) const;
    // With `withFiles`, the run's files come first: fw.ctf, run.log,
    // progress.bin and module.bin.
    ProcessResult Run(const Args& extra, bool withFiles = true) const;
    std::set<std::string> Files() const;
    std::string Log() const;
    Bytes Read(const std::string& name) const;
    std::string File(const std::string& name) const;

  private:
    Tempdir work;
    Tempdir env;
    std::vector<std::unique_ptr<B4kSimulator>> devices;
};

// What the device has received once the line has gone quiet.
std::vector<ToolBench::Bytes> Received(const B4kSimulator& sim);

// The progress once frame `index` of a file written by WriteFirmware is
// done: the share of the file read up to its end, in truncated percent.
int ProgressAfter(const std::vector<ToolBench::Bytes>& file, std::size_t index);
