// What the station notes in a run's folder, so that the run can be recorded
// however the station fares: Run.json at the start (everything its record
// will say but how it ended), Record.json once its record is on disk. A run
// goes on when the station dies; a station started later reads its end from
// the tool's own log.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

#include "ResultsFile.h"

class RunJournal {
  public:
    static constexpr const char* kJournalFile = "Run.json";
    static constexpr const char* kRecordFile = "Record.json";

    // Written whole (beside it, then renamed) and flushed.
    static bool Write(const std::string& folder, const Json& journal);
    static std::optional<Json> Read(const std::string& folder);
    static void Forget(const std::string& folder);
    static bool Recorded(const std::string& folder);
    // After the record is on disk in the results file: `line` is the record.
    static bool MarkRecorded(const std::string& folder, const std::string& line);

    // The run's result as the tool's log in `folder` states it; none when
    // the log states none (the run was cut off, or never began).
    static std::optional<std::int32_t> ResultFromLog(const std::string& folder);
    // The tool's process still working in `folder`; -1 when there is none.
    static pid_t LiveTool(const std::string& folder);
};
