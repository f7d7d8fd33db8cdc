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
    std::string Log() const { return ReadText(File("run.log")); }
    Bytes Read(const std::string& name) const { return ReadBytes(File(name)); }
    std::string File(const std::string& name) const { return work.File(name); }

    Args launcher; // runs the tool through this command when not empty
    StandardOutput output = StandardOutput::Collected;

  private:
    Tempdir work;
    Tempdir env;
    std::vector<std::unique_ptr<B4kSimulator>> devices;
};

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

// Attempts of one frame counted once.
std::vector<ToolBench::Bytes> Deduplicated(std::vector<ToolBench::Bytes> frames);

// Checks the console of a run with --v: the progress texts, each a change of
// a value that only grows up to `last`, then the echo of the log.
void ExpectVerboseConsole(const std::string& out, int last, const std::string& log);

// A download under injected faults, and what it must leave behind.
struct FaultRun {
    int status = 1;                         // the run's result: 1, or a negative code
    std::size_t done = -1;                  // the file's frames done when the run ended; all
    std::uint32_t deviceType = kModuleType; // as the module type query left it
    // What bounds the run's time: `windows` connect windows that run out, one
    // full time-out of each command type in `waits` (a reply that did not
    // come, or the flush after a malformed one), and `heldMs` of replies held back.
    int windows = 0;
    std::vector<std::uint8_t> waits = {};
    double heldMs = 0;
    DeviceConfig device = DefaultDevice();
    std::vector<ToolBench::Bytes> file = {}; // starting with kModuleRecord
    std::string name = "none";               // of the fault
};

// Runs the tool with --v on a device found as COM5 and checks the exit
// status, the log up to the failure with its error and download-time lines,
// the console, the progress and module-information files, a run time within
// what the protocol allows, and no crash; with `traffic`, also that the
// file's frames reached the device in order up to the failing one, and none after it.
void ExpectFaultRun(const FaultRun& run, bool traffic);
