// The firmware file as the station sees it before any device is touched:
// valid or not, its identification and fingerprint, and whether the checks
// passed through to the tool accept it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FirmwareIdentity {
    std::uint32_t moduleType = 0;
    std::uint16_t mainRevision = 0;
    std::uint16_t subRevision = 0;
    std::uint32_t buildTime = 0;
    std::string sha256;
};

class FirmwareCheck {
  public:
    // `checks`: the pass-through options and their values, as given.
    FirmwareCheck(std::string file, const std::vector<std::string>& checks);

    // The tool's usage error for the check values ("'x' is not a valid
    // integer value"); empty when they are numbers.
    const std::string& OptionError() const { return optionError; }
    // The tool's result for the file before it looks for a device: -3 for an
    // invalid file, -256 or -257 for an identification the checks refuse, 1
    // when every run may go ahead.
    std::int32_t Verdict() const { return verdict; }
    // Why the checks refuse the file; empty otherwise.
    const std::string& Mismatch() const { return mismatch; }
    const FirmwareIdentity& Identity() const { return identity; }

  private:
    void Judge(const std::vector<std::string>& checks);
    void Refuse(std::int32_t result, const std::string& what, unsigned long file,
                unsigned long expected, const char* option, bool hex);

    FirmwareIdentity identity;
    std::string firmwarePath;
    std::string optionError;
    std::string mismatch;
    std::int32_t verdict = 1;
};
