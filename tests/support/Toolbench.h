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
#include "Runlog.h"
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

    Args launcher; // runs the tool through this command when not empty
    StandardOutput output = StandardOutput::Collected;

  private:
    Tempdir work;
    Tempdir env;
    std::vector<std::unique_ptr<B4kSimulator>> devices;
};

// The arguments that give a run its files: fw.ctf, run.log, progress.bin and module.bin.
extern const ToolBench::Args kRunFiles;
// Every file such a run leaves in its working folder.
extern const std::set<std::string> kAllFiles;
// The module type query: connected at once, then its record three times.
extern const std::vector<ToolBench::Bytes> kQuery;

// A device of `moduleType`, without faults.
DeviceConfig DefaultDevice(std::uint32_t moduleType = kModuleType);

// Whether a frame of a firmware file leaves the host: all but the revision
// and build time records.
bool LeavesHost(const ToolBench::Bytes& frame);
// `head`, then a download's connect frame and the file's frames before
// `end` that leave the host.
std::vector<ToolBench::Bytes> Traffic(std::vector<ToolBench::Bytes> head,
                                      const std::vector<ToolBench::Bytes>& file, std::size_t end);

// What the device has received once the line has gone quiet.
std::vector<ToolBench::Bytes> Received(const B4kSimulator& sim);

// The progress once frame `index` of a file written by WriteFirmware is
// done: the share of the file read up to its end, in truncated percent.
int ProgressAfter(const std::vector<ToolBench::Bytes>& file, std::size_t index);
