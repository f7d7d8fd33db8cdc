// SHA-256 of a byte stream, for the firmware file's fingerprint in the
// results file: fed in pieces, finished once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
  public:
    Sha256();
    void Update(const std::uint8_t* data, std::size_t size);
    // The digest as 64 lower-case hexadecimal digits; the object is spent.
    std::string HexDigest();

    // The digest of a whole file; empty when it cannot be read.
    static std::string OfFile(const std::string& path);

  private:
    void Compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state;
    std::array<std::uint8_t, 64> buffer{};
    std::size_t buffered = 0;
    std::uint64_t totalBytes = 0;
};
