#include "firmware/Fileparser.h"

#include <array>
#include <filesystem>
#include <fstream>

#include "firmware/Frame.h"

namespace {

enum class FrameRead { Valid, Invalid };

// Reads the rest of a frame after its "[" into `frame` (from the type byte
// on) and tests its checksum and end byte.
FrameRead ReadFrame(std::istream& in, std::array<std::uint8_t, kMaxFrameSize>& frame) {
    char* bytes = reinterpret_cast<char*>(frame.data());
    if (!in.read(bytes, 2)) {
        return FrameRead::Invalid;
    }
    const std::uint8_t length = frame[1];
    // Payload, checksum and end byte in one block read.
    if (!in.read(bytes + 2, length + 2)) {
        return FrameRead::Invalid;
    }
    const bool checksumOk = frame[2u + length] == FrameChecksum(frame.data());
    const bool endOk = frame[3u + length] == kFrameEnd;
    return checksumOk && endOk ? FrameRead::Valid : FrameRead::Invalid;
}

} // namespace

std::int32_t TFileParser::ParseFile(const std::string& fileName) {
    // A device or FIFO could be endless; only a regular file is a firmware file.
    std::error_code error;
    if (!std::filesystem::is_regular_file(fileName, error)) {
        return -3;
    }
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        return -3;
    }
    std::array<std::uint8_t, kMaxFrameSize> frame{}; // from the type byte on
    for (int c = in.get(); c != std::ifstream::traits_type::eof(); c = in.get()) {
        if (c != kFrameStart) {
            continue;
        }
        if (ReadFrame(in, frame) == FrameRead::Invalid ||
            !TakeIdentification(frame[0], frame.data() + 2, frame[1])) {
            return -3;
        }
    }
    return 1;
}

bool TFileParser::TakeIdentification(std::uint8_t type, const std::uint8_t* payload,
                                     std::uint8_t length) {
    const bool isRecord =
        type == kTypeModuleType || type == kTypeSoftwareRevision || type == kTypeBuildTime;
    if (!isRecord) {
        ++programFrames;
        return true;
    }
    // A record too short for its four bytes makes the file invalid.
    if (length < kIdentificationPayload) {
        return false;
    }
    if (type == kTypeModuleType) {
        fileModuleType = ReadBigEndian32(payload);
    } else if (type == kTypeSoftwareRevision) {
        fileMainRevision = ReadBigEndian16(payload);
        fileSubRevision = ReadBigEndian16(payload + 2);
    } else {
        fileBuildTime = ReadBigEndian32(payload);
    }
    return true;
}

std::uint32_t TFileParser::GetModuleType(const std::string&) const {
    return fileModuleType;
}
std::uint16_t TFileParser::GetMainRevision(const std::string&) const {
    return fileMainRevision;
}
std::uint16_t TFileParser::GetSubRevision(const std::string&) const {
    return fileSubRevision;
}
std::uint32_t TFileParser::GetBuildTime(const std::string&) const {
    return fileBuildTime;
}
