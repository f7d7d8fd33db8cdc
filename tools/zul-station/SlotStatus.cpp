#include "SlotStatus.h"

#include <cstdio>
#include <ctime>

#include "ResultsFile.h"
#include "SlotRun.h"

nlohmann::json StationInfo::ToJson() const {
    return {{"host", host},
            {"started", started},
            {"firmware", ResultsFile::Firmware(firmwareFile, firmware)}};
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
            {"started",
             started ? nlohmann::json(ResultsFile::IsoTime(*started)) : nlohmann::json(nullptr)},
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
