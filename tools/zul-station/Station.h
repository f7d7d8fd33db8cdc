// The station: checks the firmware file once, then runs the tool for each
// slot with a B4K, at most so many at once, shows how each run goes, records
// each finished run, and (with --watch) serves devices as they are plugged in.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "EventWaiter.h"
#include "FirmwareCheck.h"
#include "ResultsFile.h"
#include "SlotRun.h"
#include "SlotsFile.h"
#include "StationOptions.h"
#include "StatusBoard.h"
#include "StatusDisplay.h"
#include "StatusServer.h"
#include "UsbScanner.h"

class Station {
  public:
    Station(StationOptions given, SlotsFile sockets, std::string toolPath);
    // The station's exit status.
    int Run();
    // --list: each B4K found, its port and its label; 1 when there is none.
    static int List(const SlotsFile& sockets);

  private:
    void Recover();
    void Recover(const std::string& folder, const Json& journal);
    void Record(SlotRun& run);
    int RefuseFirmware(const FirmwareCheck& check);
    bool StartDashboard(const FirmwareCheck& check);
    void Show(const SlotRun& run);
    void WatchDeviceFolders();
    void Serve();
    void Handle(const StationEvents& events);
    void RefreshRuns(int watch);
    void ReadProgress();
    void Scan();
    void StartNext();
    bool HasRoom() const;
    void Start(const FoundDevice& device, int attempt = 1);
    void Retry(const SlotRun& run);
    void Watch(SlotRun& run);
    void Unwatch(const SlotRun& run);
    void Reap();
    void Adopted(int watch);
    void Ended(std::unique_ptr<SlotRun> run);
    void Interrupt(int count);
    bool Done() const;
    int ExitStatus() const;

    StationOptions options;
    SlotsFile slots;
    std::string tool;
    Json common; // what every run's journal and record say alike
    EventWaiter waiter;
    UsbScanner scanner;
    StatusDisplay display;
    StatusBoard board;          // the dashboard's view of the runs
    StatusServer server{board}; // after the waiter: its threads take no signal
    std::unique_ptr<ResultsFile> results;
    std::map<std::string, std::unique_ptr<SlotRun>> active; // by slot
    std::vector<std::unique_ptr<SlotRun>> finished;
    std::vector<FoundDevice> waiting; // found, not yet started
    // Slots whose device was run and is still plugged in, with its instance:
    // one unplugged and back between two scans comes back as another.
    std::map<std::string, std::string> served;
    std::set<std::string> unplugged; // busy slots whose device was seen gone
    std::set<std::string> leftAlone; // devices outside --slots, named once: slot and instance
    std::set<int> deviceWatches;
    int failedStarts = 0;
    bool stopping = false;
};
