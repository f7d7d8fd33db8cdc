// One run of the tool for one slot: its folder and pinned view, its process,
// and what its files say about how far it got.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

#include "DevicePin.h"
#include "ResultsFile.h"
#include "RunOutcome.h"
#include "UsbScanner.h"

enum class RunState { Probing, Programming, Done, Failed };

class SlotRun {
  public:
    using Clock = std::chrono::system_clock;

    // The files the tool is told to write in its folder, beside its log
    // and query file.
    static constexpr const char* kProgressFile = "Progress.bin";
    static constexpr const char* kModuleFile = "ModuleInfo.bin";

    // Makes the next free run folder "<dir>/<slot>/run-<n>" and the view of
    // `device`; Folder() is empty on failure. `attempt` counts the runs on this device, 1 for the
    // first.
    SlotRun(const std::string& dir, const FoundDevice& device,
            std::optional<std::string> slotLabel = std::nullopt, int attemptNumber = 1);
    // A run that a station before this one started and that is still going:
    // its tool `toolPid` is no child of this station.
    SlotRun(const std::string& runFolder, Json runJournal, pid_t toolPid);
    SlotRun(const SlotRun&) = delete;
    SlotRun& operator=(const SlotRun&) = delete;

    // Notes the run's journal (`common`: what every run of the station
    // shares, its own fields added; none for a run that is no device's),
    // then starts the tool on the firmware
    // with the pass-through checks. On failure the journal is taken back.
    bool Start(const std::string& tool, const std::string& firmware,
               const std::vector<std::string>& checks, const Json& common);
    // Re-reads the progress and module files; true when something changed.
    bool Refresh();
    void Finish(int waitStatus);
    // The end of an adopted run: its result from its log, if it states one.
    void FinishAdopted();
    // How the run ended, for its record.
    RunEnd End() const;

    const std::string& Slot() const { return slot; }
    const std::optional<std::string>& Label() const { return label; }
    // The slot, and its label when it has one: how the technician knows it.
    std::string Title() const { return label ? slot + " " + *label : slot; }
    int Attempt() const { return attempt; }
    bool Adopted() const { return adopted; }
    const Json& Journal() const { return journal; }
    const std::string& Instance() const { return instance; }
    const std::string& Folder() const { return folder; }
    pid_t Pid() const { return pid; }
    RunState State() const { return state; }
    int Progress() const { return progress; }
    std::optional<std::uint32_t> ModuleType() const { return moduleType; }
    const RunOutcome& Outcome() const { return outcome; }
    Clock::time_point Started() const { return started; }
    Clock::time_point Ended() const { return ended; }
    long ElapsedSeconds() const;

    // The event waiter's watches, on the run's folder: for the module file
    // (written once the device has answered) and, for a terminal, for the
    // progress file (each value is renamed into it).
    int moduleWatch = -1;
    int progressWatch = -1;
    int endWatch = -1; // an adopted run's: its tool's end

  private:
    std::string slot;
    std::optional<std::string> label;
    int attempt = 1;
    std::string instance;
    std::string folder;
    std::string pinFolder;
    std::unique_ptr<DevicePin> pin;
    Json journal;
    bool adopted = false;
    pid_t pid = -1;
    RunState state = RunState::Probing;
    int progress = 0;
    std::optional<std::uint32_t> moduleType;
    RunOutcome outcome;
    Clock::time_point started;
    Clock::time_point ended;
};
