// Validates a firmware file frame by frame and keeps its identification:
// module type, main and sub software revision, build time.
#pragma once

#include <cstdint>
#include <string>

class TFileParser {
  public:
    TFileParser() = default;

    // 1 when every frame of the file is valid; -3 when the file cannot be
    // opened, is not a regular file, or holds an invalid frame.
    std::int32_t ParseFile(const std::string& fileName);

    // The stored values; the name is not looked at.
    std::uint32_t GetModuleType(const std::string& fileName) const;
    std::uint16_t GetMainRevision(const std::string& fileName) const;
    std::uint16_t GetSubRevision(const std::string& fileName) const;
    std::uint32_t GetBuildTime(const std::string& fileName) const;
    // The valid frames other than identification records: what a download
    // would send to program the device.
    std::uint32_t GetProgramFrameCount() const { return programFrames; }

  private:
    bool TakeIdentification(std::uint8_t type, const std::uint8_t* payload, std::uint8_t length);

    std::uint32_t fileModuleType = 0;
    std::uint16_t fileMainRevision = 0;
    std::uint16_t fileSubRevision = 0;
    std::uint32_t fileBuildTime = 0;
    std::uint32_t programFrames = 0;
};
