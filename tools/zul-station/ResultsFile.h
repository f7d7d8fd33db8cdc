// The record of finished runs: one JSON object per run, one per line, in
// UTF-8 whatever bytes a name holds, each appended in one write and flushed
// to disk, so that a reader finds every record whole or not at all.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "FirmwareCheck.h"

using Json = nlohmann::ordered_json; // fields in the order they are written

// How a run ended, as its record says it.
struct RunEnd {
    std::string end;                         // ISO 8601, UTC
    std::optional<std::int32_t> result;      // none: the run gave no result of the tool
    std::optional<int> exitStatus;           // none: not known (a run recorded after a restart)
    std::optional<std::uint32_t> moduleType; // none: the device never answered
    bool recovered = false;                  // recorded by a station started after the run
};

class ResultsFile {
  public:
    // Nothing is written when `file` is empty.
    explicit ResultsFile(std::string file);

    const std::string& Path() const { return path; }
    // Appends one line, flushed to disk; false when it could not be written
    // whole (a part written is taken back).
    bool Append(const std::string& line) const;
    // The record of the run in `folder` that started at `start`, when it is
    // there already: a station stopped between the two steps of recording.
    std::optional<std::string> Find(const std::string& folder, const std::string& start) const;

    static std::string IsoTime(std::chrono::system_clock::time_point when);
    // The firmware object of the records (and of the dashboard's status).
    static Json Firmware(const std::string& file, const FirmwareIdentity& identity);
    // Eight hex digits, as the records write identifications.
    static std::string Hex8(std::uint32_t value);
    // The record's line, from what the run's journal noted at its start.
    static std::string Record(const Json& journal, const RunEnd& end);
    // One line of JSON: bytes that are not UTF-8 become U+FFFD.
    static std::string Line(const Json& value);

  private:
    std::string path;
};
