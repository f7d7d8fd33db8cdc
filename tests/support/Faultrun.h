// What a download under injected faults must leave behind, whatever the
// fault: the exit status, the log up to the failure with its error and
// download-time lines, the progress and module-information files, a run
// time within what the protocol allows, and no crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "B4kSimulator.h"
#include "Runlog.h"
#include "Toolbench.h"

struct FaultRunExpectation {
    int status = 1;                         // the run's result: 1, or a negative code
    std::uint32_t deviceType = kModuleType; // as the module type query left it
    std::size_t done = 0;                   // the file's frames done when the run ended
    double boundSeconds = 0;                // the longest the run may take
};

// The longest a run may take: the probe, `windows` connect windows that run
// out, one full time-out of each command type in `waits` (a reply that did
// not come, or the flush after a malformed one), and `heldMs` of replies held
// back. Generous, for loaded machines and sanitizer builds: it tells a hang
// from a run, nothing finer.
double RunBoundSeconds(int windows, const std::vector<std::uint8_t>& waits, double heldMs = 0);

// Checks a run without --v of `file` (starting with kModuleRecord) on a
// device found as COM5.
void ExpectFaultRun(const ToolBench& bench, const std::vector<ToolBench::Bytes>& file,
                    const ProcessResult& result, const FaultRunExpectation& expected);

// The file's frames reached the device in order, each at least once, up to
// the failing one, and none after it.
void ExpectFileTraffic(const B4kSimulator& sim, const std::vector<ToolBench::Bytes>& file,
                       const FaultRunExpectation& expected);
