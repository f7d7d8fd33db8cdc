// The firmware file parser on arbitrary file contents. A file it accepts
// must hold only frames of valid form, read the way the download worker
// reads them, and it must report the last identification record of each
// kind; a file it refuses must hold a frame that is not.
#include <array>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "FuzzCheck.h"
#include "firmware/Fileparser.h"

namespace {

// The big-endian payloads of the last records 18, 20 and 22: module type,
// main and sub revision, build time.
using Identification = std::array<std::uint32_t, 3>;

// The next "[" (0x5B) starts a frame: type, length L, L payload bytes, the
// low byte of the sum of type, length and payload, "]" (0x5D). Empty when a
// frame is cut short, has a wrong checksum or end byte, or is an
// identification record (18, 20, 22) of fewer than four payload bytes.
std::optional<Identification> WalkFrames(const std::uint8_t* data, std::size_t size) {
    Identification id{};
    for (std::size_t pos = 0; pos < size; ++pos) {
        if (data[pos] != 0x5B) {
            continue;
        }
        if (size - pos < 3 || size - pos < data[pos + 2] + 5u) {
            return std::nullopt;
        }
        const std::uint8_t type = data[pos + 1];
        const std::uint8_t length = data[pos + 2];
        const std::uint8_t* payload = data + pos + 3;
        const int sum = std::accumulate(payload, payload + length, type + length);
        const bool record = type == 18 || type == 20 || type == 22;
        if (payload[length] != static_cast<std::uint8_t>(sum) || payload[length + 1] != 0x5D ||
            (record && length < 4)) {
            return std::nullopt;
        }
        if (record) {
            id[(type - 18) / 2] = (std::uint32_t{payload[0]} << 24) | (payload[1] << 16) |
                                  (payload[2] << 8) | payload[3];
        }
        pos += length + 4u;
    }
    return id;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The input as a file in memory, rewritten for every input.
    static const int fd = memfd_create("fileparser_fuzz", 0);
    FUZZ_REQUIRE(ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    const std::string name = "/proc/self/fd/" + std::to_string(fd);
    TFileParser parser;
    const std::int32_t result = parser.ParseFile(name);
    const std::optional<Identification> expected = WalkFrames(data, size);
    FUZZ_REQUIRE(result == (expected ? 1 : -3));
    const Identification parsed = {parser.GetModuleType(name),
                                   (std::uint32_t{parser.GetMainRevision(name)} << 16) |
                                       parser.GetSubRevision(name),
                                   parser.GetBuildTime(name)};
    FUZZ_REQUIRE(!expected || *expected == parsed);
    return 0;
}
