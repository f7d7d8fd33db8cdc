// The simulated device on a pseudo-terminal, or on an existing serial port
// (SimulatorOptions::ttyPath): a serving thread feeds what the
// host writes to a SimulatedDevice at the simulated line rate, sends its
// replies back when due, and records everything it receives.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FolderTrail.h"
#include "NameClaim.h"
#include "PseudoTerminal.h"
#include "SimulatedDevice.h"
#include "TtyPort.h"

struct SimulatorOptions {
    DeviceConfig device;
    std::string ttyPath; // when set: serve this existing port; no link, no sysfs tree
    std::string portDir; // with comNumber: <portDir>/COM<comNumber> links to the slave
    int comNumber = 0;
    std::string sysfsDir;        // when set: the USB device's fake sysfs tree is written here
    std::string usbPath = "1-1"; // the device's USB port path, its folder's name in that tree
    std::string capturePath;     // when set: emptied at start, then one line per captured item
    int stopFd = -1; // serving ends once this turns readable (a signalfd, say); not owned
};

// One line of the capture file, without its line feed:
// "<ms with 3 decimals> <wakeup|frame|stray> <bytes as upper-case hex>".
std::string FormatCaptureLine(const CapturedItem& item);

class B4kSimulator {
  public:
    explicit B4kSimulator(SimulatorOptions options);
    ~B4kSimulator();
    B4kSimulator(const B4kSimulator&) = delete;
    B4kSimulator& operator=(const B4kSimulator&) = delete;

    // Opens the pty, makes the link and the sysfs tree, opens the capture
    // file and starts serving. False on failure (see Error()); once only.
    bool Start();
    // Wakes and joins the serving thread at once, closes the pty and removes
    // the link and the sysfs tree. Stray bytes not yet recorded are recorded.
    void Stop();

    // The port the host opens: the pseudo-terminal's slave, or the ttyPath.
    const std::string& SlavePath() const { return OnTty() ? tty.Path() : pty.SlavePath(); }
    const std::string& Error() const { return error; } // what Start() failed on
    // True when Start() failed because another simulator holds the COM name
    // or the USB path asked for; Error() names its process.
    bool Refused() const { return refused; }

    std::vector<CapturedItem> Capture() const;
    std::vector<std::vector<std::uint8_t>> CapturedFrames() const; // Frame items only, in order
    // True once the device has vanished (hangupAfterFrames).
    bool HungUp() const { return hungUp.load(); }
    // True once the existing port hung up (its USB host went away); serving
    // has ended then.
    bool PortHungUp() const { return portHungUp.load(); }
    // Blocks until `count` items have been captured or `timeoutMs` passed
    // (or serving ended); returns whether they were.
    bool WaitForItems(std::size_t count, std::uint32_t timeoutMs) const;
    // Blocks until the serving thread has ended: hang-up, stopFd or Stop().
    void WaitUntilServingEnds() const;

  private:
    class Line;

    bool OnTty() const { return !options.ttyPath.empty(); }
    int PortFd() const { return OnTty() ? tty.Fd() : pty.MasterFd(); }
    bool OpenPort();
    bool Fail(const std::string& what);
    bool OpenDescriptors();
    bool StartServing();
    void SetServing(bool on);
    bool Claim(NameClaim& claim, FolderTrail& trail, const std::string& folder,
               const std::string& name, const std::string& what);
    bool MakeLink();
    bool WriteSysfs();
    void RemoveLink();
    void RemoveSysfs();
    void Teardown();

    void Serve();
    bool ServeOnce();
    bool FeedArrived(std::int64_t now);
    void CloseQuietStray(std::int64_t now);
    std::int64_t NextDeadline() const;
    void ArmTimer(std::int64_t deadline);
    bool WaitForEvents();
    bool ReadInput();
    void HangUp();
    void Record(const std::vector<CapturedItem>& items);

    SimulatorOptions options;
    SimulatedDevice device;
    PseudoTerminal pty;
    TtyPort tty;
    std::unique_ptr<Line> line;
    std::string error;
    std::string linkPath;
    std::string sysfsDevice; // the tree's top folder, once written
    NameClaim comClaim;
    NameClaim usbClaim;
    FolderTrail portFolders;  // those of the port folder's way that we made
    FolderTrail sysfsFolders; // those of the sysfs tree's way that we made
    bool refused = false;
    std::FILE* captureFile = nullptr;
    int wakeFd = -1;
    int timerFd = -1;
    std::int64_t startNs = 0;
    std::int64_t lastFedNs = 0;
    bool started = false;
    bool masterLost = false;
    std::thread thread;
    std::atomic<bool> hungUp{false};
    std::atomic<bool> portHungUp{false};

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<CapturedItem> captured; // guarded by mutex
    bool serving = false;               // guarded by mutex
};
