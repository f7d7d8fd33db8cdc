// What the dashboard shows of one slot and of the station: plain values,
// copied out of the station's loop so that the server never touches a run.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "FirmwareCheck.h"

class SlotRun;

struct StationInfo {
    std::string host;
    std::string started; // ISO 8601, UTC
    std::string firmwareFile;
    FirmwareIdentity firmware;
    std::string toolVersion;

    // {"host", "started", "firmware": {...as in the records}}
    nlohmann::json ToJson() const;
};

struct SlotStatus {
    using Clock = std::chrono::system_clock;

    std::string slot;
    std::optional<std::string> label;
    std::string state = "waiting"; // waiting, programming, passed, failed, empty
    int progress = 0;
    int attempt = 1;
    std::optional<std::int32_t> result; // of the slot's last ended run
    std::string meaning;
    std::optional<Clock::time_point> started;
    double elapsed = 0; // seconds; of a running run, as of `now` when shown

    bool Running() const { return state == "programming"; }
    bool Ended() const { return state == "passed" || state == "failed"; }
    // Anything a viewer must not miss: all but progress and time.
    bool SameStage(const SlotStatus& other) const;
    nlohmann::json ToJson(Clock::time_point now) const;

    // A run as the dashboard shows it.
    static SlotStatus Of(const SlotRun& run);
    // A socket with a device (waiting) or without one (empty), and no run.
    static SlotStatus Idle(const std::string& slot, std::optional<std::string> label,
                           const std::string& state);
};
