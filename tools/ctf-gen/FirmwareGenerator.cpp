#include "FirmwareGenerator.h"

#include <algorithm>

#include "firmware/Frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A small generator of our own, so the files do not depend on the library.
class Random {
  public:
    explicit Random(std::uint32_t seed) : state(seed * 2654435761u + 1) {}
    std::uint32_t Next() { // xorshift32
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    std::uint32_t Below(std::uint32_t bound) { return Next() % bound; }

  private:
    std::uint32_t state;
};

void PutBigEndian(Bytes& out, std::uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void Append(Bytes& file, std::uint8_t type, const Bytes& payload) {
    const Bytes frame = MakeGeneratedFrame(type, payload);
    file.insert(file.end(), frame.begin(), frame.end());
}

// A data block: its address, then data bytes; echoed back by the device.
Bytes DataBlock(Random& random, std::uint32_t address, std::size_t size) {
    Bytes payload;
    PutBigEndian(payload, address, 4);
    while (payload.size() < size) {
        payload.push_back(static_cast<std::uint8_t>(random.Next() >> 24));
    }
    return payload;
}

void AppendIdentification(Bytes& file, const FirmwareRecipe& recipe) {
    Bytes payload;
    PutBigEndian(payload, recipe.moduleType, 4);
    Append(file, kTypeModuleType, payload);
    payload.clear();
    PutBigEndian(payload, recipe.mainRevision, 2);
    PutBigEndian(payload, recipe.subRevision, 2);
    Append(file, kTypeSoftwareRevision, payload);
    payload.clear();
    PutBigEndian(payload, recipe.buildTime, 4);
    Append(file, kTypeBuildTime, payload);
}

// Data blocks of 128 to 249 bytes, a verify now and then, a status query
// every 32 blocks.
void AppendBlocks(Bytes& file, Random& random, std::size_t targetBytes) {
    std::uint32_t address = 0;
    for (int block = 1; file.size() + 2 * kFrameOverhead < targetBytes; ++block) {
        const std::size_t size = 128 + random.Below(122);
        Append(file, kTypeEchoCommand9, DataBlock(random, address, size));
        address += static_cast<std::uint32_t>(size - 4);
        if (random.Below(16) == 0) {
            Append(file, kTypeEchoCommand16, DataBlock(random, address, 8));
        }
        if (block % 32 == 0) {
            Append(file, kTypeCommand11, {static_cast<std::uint8_t>(block / 32)});
        }
    }
}

} // namespace

Bytes MakeGeneratedFrame(std::uint8_t type, const Bytes& payload) {
    // Sized once: growing a short vector trips false bounds warnings in g++ 12 at -O3.
    Bytes frame(payload.size() + kFrameOverhead);
    frame[0] = kFrameStart;
    frame[kTypeOffset] = type;
    frame[kLengthOffset] = static_cast<std::uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), frame.begin() + kPayloadOffset);
    frame[frame.size() - 2] = FrameChecksum(frame.data() + kTypeOffset);
    frame.back() = kFrameEnd;
    return frame;
}

Bytes GenerateFirmware(const FirmwareRecipe& recipe) {
    Bytes file;
    AppendIdentification(file, recipe);
    if (recipe.targetBytes <= file.size()) {
        return file;
    }
    Random random(recipe.seed);
    Append(file, kTypeCommand3, {0x00, 0x00, 0x00, 0x01}); // prepare
    AppendBlocks(file, random, recipe.targetBytes);
    Append(file, kTypeNoReply13, {});          // restart hint, unanswered
    Append(file, kTypeCommand5, {0x00, 0x01}); // finish
    return file;
}
