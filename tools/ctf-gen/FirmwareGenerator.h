// Makes firmware files for demonstrations, tests and benchmarks: the three
// identification records, then a deterministic, realistic mix of commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct FirmwareRecipe {
    std::uint32_t moduleType = 2;
    std::uint16_t mainRevision = 1;
    std::uint16_t subRevision = 0;
    std::uint32_t buildTime = 1767225600; // 2026-01-01 00:00:00 UTC
    std::size_t targetBytes = 16384;      // data frames are added until the file reaches this
    std::uint32_t seed = 1;
};

// One frame with its checksum.
std::vector<std::uint8_t> MakeGeneratedFrame(std::uint8_t type,
                                             const std::vector<std::uint8_t>& payload);

// The same recipe gives the same bytes with every compiler and library.
std::vector<std::uint8_t> GenerateFirmware(const FirmwareRecipe& recipe);
