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

namespace {

struct Identification {
    std::uint32_t moduleType = 0;
    std::uint16_t mainRevision = 0;
    std::uint16_t subRevision = 0;
    std::uint32_t buildTime = 0;
};

std::uint32_t BigEndian(const std::uint8_t* p, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

// The next "[" (0x5B) starts a frame: type, length L, L payload bytes, the
// low byte of the sum of type, length and payload, "]" (0x5D). Empty when a
// frame is cut short, has a wrong checksum or end byte, or is an
// identification record (18, 20, 22) of fewer than four payload bytes.
std::optional<Identification> WalkFrames(const std::uint8_t* data, std::size_t size) {
    Identification id;
    std::size_t pos = 0;
    while (pos < size) {
        if (data[pos] != 0x5B) {
            ++pos;
            continue;
        }
        if (size - pos < 3 || size - pos < data[pos + 2] + 5u) {
            return std::nullopt;
        }
        const std::uint8_t type = data[pos + 1];
        const std::uint8_t length = data[pos + 2];
        const std::uint8_t* payload = data + pos + 3;
        unsigned sum = type + length;
        for (int i = 0; i < length; ++i) {
            sum += payload[i];
        }
        if (payload[length] != static_cast<std::uint8_t>(sum) || payload[length + 1] != 0x5D ||
            ((type == 18 || type == 20 || type == 22) && length < 4)) {
            return std::nullopt;
        }
        if (type == 18) {
            id.moduleType = BigEndian(payload, 4);
        } else if (type == 20) {
            id.mainRevision = static_cast<std::uint16_t>(BigEndian(payload, 2));
            id.subRevision = static_cast<std::uint16_t>(BigEndian(payload + 2, 2));
        } else if (type == 22) {
            id.buildTime = BigEndian(payload, 4);
        }
        pos += length + 5u;
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
