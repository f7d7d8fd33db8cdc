#include "StatusBoard.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "ResultsFile.h"

namespace {

// A reader further behind than this gets every slot afresh.
constexpr std::size_t kKeptEvents = 1024;
// Upper bounds of the run duration histogram, in seconds.
constexpr std::array<double, 10> kDurationBounds = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600};

// A label value of the text format: backslash, quote and newline escaped.
std::string LabelValue(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return '"' + escaped + '"';
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// Slots in the order a person counts them: 1-1.2 before 1-1.10.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            const std::size_t iEnd = a.find_first_not_of("0123456789", i);
            const std::size_t jEnd = b.find_first_not_of("0123456789", j);
            const std::string x = a.substr(i, iEnd - i);
            const std::string y = b.substr(j, jEnd - j);
            if (x.size() != y.size() || x != y) {
                return x.size() != y.size() ? x.size() < y.size() : x < y;
            }
            i = std::min(iEnd, a.size());
            j = std::min(jEnd, b.size());
        } else if (a[i] != b[j]) {
            return a[i] < b[j];
        } else {
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

} // namespace

StatusBoard::StatusBoard() : durationBuckets(kDurationBounds.size(), 0) {}

void StatusBoard::Begin(StationInfo info) {
    const std::lock_guard lock(mutex);
    station = std::move(info);
}

void StatusBoard::Update(SlotStatus status) {
    const Clock::time_point now = Clock::now();
    const std::lock_guard lock(mutex);
    const auto known = slots.find(status.slot);
    if (known != slots.end() && !status.Ended()) {
        // A slot shows its last ended run's result until the next one ends.
        status.result = known->second.result;
        status.meaning = known->second.meaning;
    }
    const bool stage = known == slots.end() || !status.SameStage(known->second);
    const bool progress = known != slots.end() && status.progress != known->second.progress;
    slots[status.slot] = status;
    if (stage || (progress && now - lastPublished[status.slot] >= kProgressInterval)) {
        Publish(status.slot, now);
    } else if (progress) {
        heldBack.insert(status.slot);
    }
}

void StatusBoard::Ended(const SlotStatus& status) {
    Update(status);
    const std::lock_guard lock(mutex);
    ++runs;
    passed += status.result == 1 ? 1 : 0;
    if (status.attempt == 1) {
        ++firstAttempts;
        firstPassed += status.result == 1 ? 1 : 0;
    }
    ++runsBy[{status.slot, status.label.value_or(""),
              status.result ? std::to_string(*status.result) : "none"}];
    for (std::size_t i = 0; i < kDurationBounds.size(); ++i) {
        durationBuckets[i] += status.elapsed <= kDurationBounds[i] ? 1 : 0;
    }
    durationSum += status.elapsed;
}

void StatusBoard::Close() {
    {
        const std::lock_guard lock(mutex);
        closed = true;
    }
    news.notify_all();
}

void StatusBoard::Publish(const std::string& slot, Clock::time_point now) {
    heldBack.erase(slot);
    lastPublished[slot] = now;
    events.push_back({++lastEvent, "data: " + Dump(slots[slot].ToJson(now)) + "\n\n"});
    if (events.size() > kKeptEvents) {
        events.pop_front();
    }
    news.notify_all();
}

void StatusBoard::PublishDue(Clock::time_point now) {
    const std::set<std::string> due = heldBack;
    for (const std::string& slot : due) {
        if (now - lastPublished[slot] >= kProgressInterval) {
            Publish(slot, now);
        }
    }
}

std::string StatusBoard::EventsSince(std::uint64_t& seen) {
    const std::lock_guard lock(mutex);
    std::string text;
    const bool behind = !events.empty() && events.front().number > seen + 1;
    if (seen < lastEvent && (seen == 0 || behind)) { // a new reader starts with every slot
        const Clock::time_point now = Clock::now();
        for (const auto& [slot, status] : slots) {
            text += "data: " + Dump(status.ToJson(now)) + "\n\n";
        }
    } else {
        for (const Event& event : events) {
            text += event.number > seen ? event.data : "";
        }
    }
    seen = lastEvent;
    return text;
}

bool StatusBoard::AwaitEvents(std::uint64_t seen, Clock::time_point wake) {
    std::unique_lock lock(mutex);
    while (!closed && lastEvent <= seen && Clock::now() < wake) {
        Clock::time_point until = wake;
        for (const std::string& slot : heldBack) {
            until = std::min(until, lastPublished[slot] + kProgressInterval);
        }
        news.wait_until(lock, until);
        PublishDue(Clock::now());
    }
    return !closed;
}

std::uint64_t StatusBoard::LastEvent() {
    const std::lock_guard lock(mutex);
    return lastEvent;
}

std::string StatusBoard::Dump(const nlohmann::json& value) const {
    // Names of files and folders need not be UTF-8: such bytes are replaced.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string StatusBoard::StatusJson() {
    const std::lock_guard lock(mutex);
    const Clock::time_point now = Clock::now();
    std::vector<const SlotStatus*> ordered;
    for (const auto& [slot, status] : slots) {
        ordered.push_back(&status);
    }
    std::sort(ordered.begin(), ordered.end(),
              [](const auto* a, const auto* b) { return NaturalLess(a->slot, b->slot); });
    nlohmann::json list = nlohmann::json::array();
    for (const SlotStatus* status : ordered) {
        list.push_back(status->ToJson(now));
    }
    const nlohmann::json yield = firstAttempts == 0
                                     ? nlohmann::json(nullptr)
                                     : nlohmann::json(100.0 * static_cast<double>(firstPassed) /
                                                      static_cast<double>(firstAttempts));
    const nlohmann::json totals = {
        {"runs", runs}, {"passed", passed}, {"failed", runs - passed}, {"first_pass_yield", yield}};
    return Dump({{"station", station.ToJson()}, {"slots", list}, {"totals", totals}}) + "\n";
}

std::string StatusBoard::MetricsText() {
    const std::lock_guard lock(mutex);
    std::string out;
    Family(out, "zul_station_runs_total", "counter", "Ended runs by slot, label and result.");
    for (const auto& [key, count] : runsBy) {
        const auto& [slot, label, result] = key;
        out += "zul_station_runs_total{slot=" + LabelValue(slot) + ",label=" + LabelValue(label) +
               ",result=" + LabelValue(result) + "} " + std::to_string(count) + "\n";
    }
    Family(out, "zul_station_slot_progress_percent", "gauge",
           "Progress of the slot's current or last run, in percent.");
    for (const auto& [slot, status] : slots) {
        out += "zul_station_slot_progress_percent{slot=" + LabelValue(slot) +
               ",label=" + LabelValue(status.label.value_or("")) + "} " +
               std::to_string(status.progress) + "\n";
    }
    Family(out, "zul_station_run_duration_seconds", "histogram", "Wall time of ended runs.");
    for (std::size_t i = 0; i < kDurationBounds.size(); ++i) {
        out += "zul_station_run_duration_seconds_bucket{le=\"" + Number(kDurationBounds[i]) +
               "\"} " + std::to_string(durationBuckets[i]) + "\n";
    }
    out += "zul_station_run_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(runs) + "\n";
    out += "zul_station_run_duration_seconds_sum " + Number(durationSum) + "\n";
    out += "zul_station_run_duration_seconds_count " + std::to_string(runs) + "\n";
    Family(out, "zul_station_info", "gauge",
           "The station: host, firmware identification and SHA-256, tool version.");
    const FirmwareIdentity& firmware = station.firmware;
    out += "zul_station_info{host=" + LabelValue(station.host) +
           ",firmware_file=" + LabelValue(station.firmwareFile) +
           ",module_type=" + LabelValue(ResultsFile::Hex8(firmware.moduleType)) +
           ",main_revision=" + LabelValue(std::to_string(firmware.mainRevision)) +
           ",sub_revision=" + LabelValue(std::to_string(firmware.subRevision)) +
           ",build_time=" + LabelValue(ResultsFile::Hex8(firmware.buildTime)) +
           ",sha256=" + LabelValue(firmware.sha256) +
           ",tool_version=" + LabelValue(station.toolVersion) + "} 1\n";
    return out;
}
