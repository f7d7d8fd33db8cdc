// The firmware file parser on arbitrary file contents. A file it accepts
// must hold only frames of valid form, read the way the download worker
// reads them, and it must report the last identification record of each
// kind; a file it refuses must hold a frame that is not.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

#include "FuzzCheck.h"
#include "firmware/Fileparser.h"
#include "firmware/Frame.h"

namespace {

struct Identification {
    std::uint32_t moduleType = 0;
    std::uint16_t mainRevision = 0;
    std::uint16_t subRevision = 0;
    std::uint32_t buildTime = 0;
};

// The next "[" starts a frame whose length byte says where it ends. Empty
// when a frame is cut short, has a wrong checksum or end byte, or is an
// identification record of fewer than four payload bytes.
std::optional<Identification> WalkFrames(const std::uint8_t* data, std::size_t size) {
    Identification id;
    std::size_t pos = 0;
    while (pos < size) {
        if (data[pos] != kFrameStart) {
            ++pos;
            continue;
        }
        if (size - pos <= kLengthOffset ||
            size - pos < data[pos + kLengthOffset] + kFrameOverhead) {
            return std::nullopt;
        }
        const std::uint8_t* frame = data + pos;
        const std::uint8_t length = frame[kLengthOffset];
        const std::uint8_t* payload = frame + kPayloadOffset;
        if (payload[length] != FrameChecksum(frame + kTypeOffset) ||
            payload[length + 1] != kFrameEnd) {
            return std::nullopt;
        }
        const std::uint8_t type = frame[kTypeOffset];
        const bool record =
            type == kTypeModuleType || type == kTypeSoftwareRevision || type == kTypeBuildTime;
        if (record && length < kIdentificationPayload) {
            return std::nullopt;
        }
        if (type == kTypeModuleType) {
            id.moduleType = ReadBigEndian32(payload);
        } else if (type == kTypeSoftwareRevision) {
            id.mainRevision = ReadBigEndian16(payload);
            id.subRevision = ReadBigEndian16(payload + 2);
        } else if (type == kTypeBuildTime) {
            id.buildTime = ReadBigEndian32(payload);
        }
        pos += length + kFrameOverhead;
    }
    return id;
}

// One file per fuzzing process, rewritten for every input, removed at exit.
class InputFile {
  public:
    InputFile()
        : path((std::filesystem::temp_directory_path() /
                ("fileparser_fuzz." + std::to_string(getpid()) + ".ctf"))
                   .string()) {}
    ~InputFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    const std::string& Write(const std::uint8_t* data, std::size_t size) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_REQUIRE(out.good());
        return path;
    }

  private:
    std::string path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static InputFile file;
    const std::string& name = file.Write(data, size);
    TFileParser parser;
    const std::int32_t result = parser.ParseFile(name);
    const std::optional<Identification> expected = WalkFrames(data, size);
    FUZZ_REQUIRE(result == (expected ? 1 : -3));
    if (expected) {
        FUZZ_REQUIRE(parser.GetModuleType(name) == expected->moduleType);
        FUZZ_REQUIRE(parser.GetMainRevision(name) == expected->mainRevision);
        FUZZ_REQUIRE(parser.GetSubRevision(name) == expected->subRevision);
        FUZZ_REQUIRE(parser.GetBuildTime(name) == expected->buildTime);
    }
    return 0;
}
