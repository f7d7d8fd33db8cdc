// The simulated device on a pseudo-terminal: a serving thread feeds what the
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

#include "PseudoTerminal.h"
#include "SimulatedDevice.h"

struct SimulatorOptions {
    DeviceConfig device;
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

    const std::string& SlavePath() const { return pty.SlavePath(); }
    const std::string& Error() const { return error; } // what Start() failed on

    std::vector<CapturedItem> Capture() const;
    std::vector<std::vector<std::uint8_t>> CapturedFrames() const; // Frame items only, in order
    // True once the device has vanished (hangupAfterFrames).
    bool HungUp() const { return hungUp.load(); }
    // Blocks until `count` items have been captured or `timeoutMs` passed
    // (or serving ended); returns whether they were.
    bool WaitForItems(std::size_t count, std::uint32_t timeoutMs) const;
    // Blocks until the serving thread has ended: hang-up, stopFd or Stop().
    void WaitUntilServingEnds() const;

  private:
    class Line;

    bool Fail(const std::string& what);
    bool OpenDescriptors();
    bool StartServing();
    void SetServing(bool on);
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
    std::unique_ptr<Line> line;
    std::string error;
    std::string linkPath;
    std::string sysfsDevice; // the tree's top folder, once written
    std::FILE* captureFile = nullptr;
    int wakeFd = -1;
    int timerFd = -1;
    std::int64_t startNs = 0;
    std::int64_t lastFedNs = 0;
    bool started = false;
    bool masterLost = false;
    std::thread thread;
    std::atomic<bool> hungUp{false};

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<CapturedItem> captured; // guarded by mutex
    bool serving = false;               // guarded by mutex
};
