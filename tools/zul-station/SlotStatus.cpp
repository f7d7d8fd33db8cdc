#include "SlotStatus.h"

#include <cstdio>
#include <ctime>

#include "SlotRun.h"

std::string IsoUtc(SlotStatus::Clock::time_point when) {
    const std::time_t seconds = SlotStatus::Clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string Hex8(std::uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

nlohmann::json StationInfo::ToJson() const {
    const nlohmann::json identity = {{"file", firmwareFile},
                                     {"module_type", Hex8(firmware.moduleType)},
                                     {"main_revision", firmware.mainRevision},
                                     {"sub_revision", firmware.subRevision},
                                     {"build_time", Hex8(firmware.buildTime)},
                                     {"sha256", firmware.sha256}};
    return {{"host", host}, {"started", started}, {"firmware", identity}};
}

bool SlotStatus::SameStage(const SlotStatus& other) const {
    return state == other.state && label == other.label && attempt == other.attempt &&
           result == other.result && meaning == other.meaning && started == other.started;
}

nlohmann::json SlotStatus::ToJson(Clock::time_point now) const {
    double seconds = elapsed;
    if (Running() && started) {
        seconds = std::chrono::duration<double>(now - *started).count();
    }
    const auto orNull = [](const auto& value) {
        return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
    };
    return {{"slot", slot},
            {"label", orNull(label)},
            {"state", state},
            {"progress", progress},
            {"attempt", attempt},
            {"result", orNull(result)},
            {"meaning", meaning},
            {"started", started ? nlohmann::json(IsoUtc(*started)) : nlohmann::json(nullptr)},
            {"elapsed", static_cast<long>(seconds)}};
}

SlotStatus SlotStatus::Of(const SlotRun& run) {
    SlotStatus status;
    status.slot = run.Slot();
    status.label = run.Label();
    status.attempt = run.Attempt();
    status.progress = run.Progress();
    status.started = run.Started();
    const bool ended = run.State() == RunState::Done || run.State() == RunState::Failed;
    status.state = !ended ? "programming" : run.State() == RunState::Done ? "passed" : "failed";
    if (ended) {
        status.result = run.Outcome().result;
        status.meaning = run.Outcome().meaning;
        status.elapsed = std::chrono::duration<double>(run.Ended() - run.Started()).count();
    }
    return status;
}

SlotStatus SlotStatus::Idle(const std::string& slot, std::optional<std::string> label,
                            const std::string& state) {
    SlotStatus status;
    status.slot = slot;
    status.label = std::move(label);
    status.state = state;
    return status;
}
