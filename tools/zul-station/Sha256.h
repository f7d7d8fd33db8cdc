// The firmware file's fingerprint in the results file: its SHA-256, by nettle.
#pragma once

#include <string>

class Sha256 {
  public:
    // The digest of a whole file as 64 lower-case hexadecimal digits; empty
    // when it cannot be read.
    static std::string OfFile(const std::string& path);
};
