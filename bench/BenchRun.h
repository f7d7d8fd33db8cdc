// One run of the tool against a simulated device served from this process,
// so that the device's capture and the tool's start share one clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimulatedDevice.h"

struct BenchRunSetup {
    std::string toolPath;
    std::string firmwarePath; // absolute: the tool runs in a scratch folder
    std::uint32_t baud = 0;   // 0: the device answers at once
    std::uint32_t replyDelayMs = 0;
    // When set: zul-station runs instead, over `devices` simulated devices in
    // sockets of their own, finding the tool through PATH; the CPU figures are
    // then the station's own, without its children's.
    std::string stationPath;
    int devices = 1;
};

struct BenchRunResult {
    std::string error;   // empty when the run could be made and measured
    int exitStatus = -1; // the tool's; -1 when it did not exit normally
    double wallMs = 0;   // from just before the start until the tool was reaped
    double userMs = 0;
    double systemMs = 0;
    long maxRssKiB = 0;
    // The start on the capture's clock. The simulator's zero is taken inside
    // its start, before this clock is read, so start-up is overstated by at
    // most the rest of that start (well under a millisecond), never understated.
    double startMs = 0;
    std::vector<CapturedItem> capture;
};

BenchRunResult RunTool(const BenchRunSetup& setup);
