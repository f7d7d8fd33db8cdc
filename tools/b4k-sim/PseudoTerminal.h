// A pseudo-terminal whose slave side plays the device's serial port. The
// simulator works the master; the host opens the slave like any serial port.
#pragma once

#include <string>
#include <sys/types.h>

class PseudoTerminal {
  public:
    PseudoTerminal() = default;
    ~PseudoTerminal() { Close(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Opens the pair: the master non-blocking, the slave raw and held open by
    // us for good, so that the master never reports a hang-up while the host
    // has the port closed. False (and nothing left open) on failure.
    bool Open();
    // Closes both of our ends; the host's reads and writes then fail as they
    // would on an unplugged device.
    void Close();
    bool IsOpen() const { return master >= 0; }

    int MasterFd() const { return master; }
    // Readable when the host opens or closes the slave; -1 when the system
    // cannot tell us (the exclusive-mode release below then never happens).
    int WatchFd() const { return watch; }
    // Takes the open and close notices. Once the host has closed every
    // descriptor of its own, ends the exclusive mode (TIOCEXCL) it may have
    // set: our descriptor keeps the terminal alive, so the kernel would keep
    // the flag too and refuse the host's next open.
    void TakeWatchEvents();

    const std::string& SlavePath() const { return slavePath; }
    dev_t SlaveDevice() const { return slaveDevice; }

  private:
    bool OpenMaster();
    bool OpenSlave();
    void WatchSlave();

    int master = -1;
    int slave = -1;
    int watch = -1;
    int hostDescriptors = 0;
    std::string slavePath;
    dev_t slaveDevice = 0;
};
