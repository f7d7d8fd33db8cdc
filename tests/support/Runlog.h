// The log of a tool run as the tests expect it: the texts it is made of, and
// the run's own values (creation date, download time) masked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Processrunner.h"
#include "Testframes.h"

// The identification records whose values Info() shows, for a module type
// record of kModuleType.
inline constexpr std::uint32_t kModuleType = 0x00C0FFEE;
inline const std::vector<std::uint8_t> kModuleRecord = MakeFrame(18, {0x00, 0xC0, 0xFF, 0xEE});
inline const std::vector<std::uint8_t> kRevisionRecord =
    MakeFrame(20, {0x00, 0xA7, 0x01, 0x2C}); // 167.300
inline const std::vector<std::uint8_t> kBuildTimeRecord =
    MakeFrame(22, {0x65, 0x48, 0x2C, 0x80}); // Nov 6 2023, midnight
// The module type query's record.
inline const std::vector<std::uint8_t> kQueryRecord = {0x5B, 0x12, 0x04, 0xFF, 0xFF,
                                                       0xFF, 0xFF, 0x12, 0x5D};

inline const std::string kHeader = "\r\nZUL download log file created on DATE\n\r\n";
inline const std::string kFoundCom5 = "\r\nB4K auto detection gave COM 5";
inline const std::string kFoundNothing = "\r\nB4K auto detection gave COM 0";

// The information block for a file of the records above.
std::string Info(std::uint32_t fileType, std::uint32_t deviceType);
// The outcome lines of a download that ended with `status`.
std::string Outcome(int status);

struct MaskedLog {
    std::string text;
    int seconds = -1; // the download time, when the log has one
};

MaskedLog Mask(std::string log);

// The download time counts whole seconds from the start of detection.
void ExpectDownloadTime(const MaskedLog& log, const ProcessResult& result);

std::vector<std::uint8_t> LittleEndian(std::uint32_t value);
