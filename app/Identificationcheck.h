// A firmware file's identification, and its judgement against the values a
// command line expects: one reading and one set of checks, for the tool's
// run and for the station's look at a file before any device is touched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/Commandlineoptions.h"

struct FileIdentification {
    std::uint32_t moduleType = 0;
    std::uint16_t mainRevision = 0;
    std::uint16_t subRevision = 0;
    std::uint32_t buildTime = 0;
    // Frames besides the identification records: what a download programs.
    std::uint32_t programFrames = 0;
};

// The file's identification; none when the parser finds the file invalid.
std::optional<FileIdentification> ReadIdentification(const std::string& inputFile);

enum class IdentificationItem { MainRevision, SubRevision, ModuleType, BuildTime };

struct IdentificationMismatch {
    std::int32_t result = 0; // -256, or -257 for the sub revision
    IdentificationItem item = IdentificationItem::MainRevision;
    std::uint32_t fileValue = 0;
    std::uint32_t expectedValue = 0;
};

// The first check that fails, in the order main revision, sub revision,
// module type, build time; none when the file carries every expected value.
std::optional<IdentificationMismatch> CheckIdentification(const TCommandLineOptions& options,
                                                          const FileIdentification& id);
