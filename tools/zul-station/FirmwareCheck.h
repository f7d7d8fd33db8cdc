// The firmware file as the station sees it before any device is touched:
// valid or not, its identification and fingerprint, whether the checks
// passed through to the tool accept it, and whether the station itself
// would rather refuse it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/Identificationcheck.h"

// The file's identification as the tool reads it, and its fingerprint.
struct FirmwareIdentity : FileIdentification {
    std::string sha256;
};

class FirmwareCheck {
  public:
    // `checks`: the pass-through options and their values, as given;
    // `pinnedSha256`: the digest the file must have, empty for any.
    FirmwareCheck(std::string file, const std::vector<std::string>& checks,
                  const std::string& pinnedSha256 = {});

    // The tool's usage error for the check values ("'x' is not a valid
    // integer value"); empty when they are numbers.
    const std::string& OptionError() const { return optionError; }
    // Why the station refuses a file that the tool would take: another
    // digest than the pinned one, or nothing to program. Empty otherwise.
    const std::string& Refusal() const { return refusal; }
    // The tool's result for the file before it looks for a device: -3 for an
    // invalid file, -256 or -257 for an identification the checks refuse, 1
    // when every run may go ahead.
    std::int32_t Verdict() const { return verdict; }
    // Why the checks refuse the file; empty otherwise.
    const std::string& Mismatch() const { return mismatch; }
    const FirmwareIdentity& Identity() const { return identity; }

  private:
    void Judge(const std::vector<std::string>& checks, const FileIdentification& id);
    void Pin(const std::string& pinnedSha256);

    FirmwareIdentity identity;
    std::string firmwarePath;
    std::string optionError;
    std::string refusal;
    std::string mismatch;
    std::int32_t verdict = 1;
};
