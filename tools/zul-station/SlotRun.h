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
    // `device`; Folder() is empty on failure.
    SlotRun(const std::string& dir, const FoundDevice& device);

    // Starts the tool on the firmware with the pass-through checks.
    bool Start(const std::string& tool, const std::string& firmware,
               const std::vector<std::string>& checks);
    // Re-reads the progress and module files; true when something changed.
    bool Refresh();
    void Finish(int waitStatus);

    const std::string& Slot() const { return slot; }
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

  private:
    std::string slot;
    std::string instance;
    std::string folder;
    std::unique_ptr<DevicePin> pin;
    pid_t pid = -1;
    RunState state = RunState::Probing;
    int progress = 0;
    std::optional<std::uint32_t> moduleType;
    RunOutcome outcome;
    Clock::time_point started;
    Clock::time_point ended;
};
