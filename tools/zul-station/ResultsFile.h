// The record of finished runs: one JSON object per run, one per line,
// appended whole so that a reader never sees half a record.
#pragma once

#include <string>

#include "FirmwareCheck.h"
#include "SlotRun.h"

class ResultsFile {
  public:
    // Nothing is written when `path` is empty.
    ResultsFile(std::string file, std::string firmwareFile, FirmwareIdentity identity);

    // False when the record could not be written.
    bool Append(const SlotRun& run) const;

    static std::string IsoTime(SlotRun::Clock::time_point when);
    static std::string Record(const SlotRun& run, const std::string& firmwareFile,
                              const FirmwareIdentity& identity);

  private:
    std::string path;
    std::string firmwarePath;
    FirmwareIdentity firmware;
};
