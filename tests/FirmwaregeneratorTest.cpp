#include <gtest/gtest.h>

#include <set>

#include "FirmwareGenerator.h"
#include "Tempdir.h"
#include "firmware/Fileparser.h"

namespace {

// Walks the frames by their length bytes: no gaps, each checksum right.
std::vector<std::vector<std::uint8_t>> SplitFrames(const std::vector<std::uint8_t>& file) {
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t at = 0; at < file.size();) {
        EXPECT_EQ(file[at], 0x5B) << "at " << at;
        const std::size_t size = file.at(at + 2) + 5u;
        const std::vector<std::uint8_t> frame(file.begin() + at, file.begin() + at + size);
        std::uint8_t sum = 0;
        for (std::size_t i = 1; i + 2 < size; ++i) {
            sum = static_cast<std::uint8_t>(sum + frame[i]);
        }
        EXPECT_EQ(frame[size - 2], sum);
        EXPECT_EQ(frame.back(), 0x5D);
        frames.push_back(frame);
        at += size;
    }
    return frames;
}

} // namespace

TEST(FirmwareGenerator, MakesValidFilesWithTheRequestedIdentification) {
    const FirmwareRecipe recipe{0x0A0B0C0D, 7, 9, 0x4B000000, 64 * 1024, 3};
    const auto file = GenerateFirmware(recipe);
    EXPECT_GE(file.size(), recipe.targetBytes);
    EXPECT_LT(file.size(), recipe.targetBytes + 3 * 260);
    Tempdir dir;
    WriteBytes(dir.File("fw.ctf"), file);
    TFileParser parser;
    ASSERT_EQ(parser.ParseFile(dir.File("fw.ctf")), 1);
    EXPECT_EQ(parser.GetModuleType(""), 0x0A0B0C0Du);
    EXPECT_EQ(parser.GetMainRevision(""), 7);
    EXPECT_EQ(parser.GetSubRevision(""), 9);
    EXPECT_EQ(parser.GetBuildTime(""), 0x4B000000u);

    const auto frames = SplitFrames(file);
    const std::set<int> sendable = {3, 5, 9, 11, 13, 16};
    ASSERT_GT(frames.size(), 3u);
    for (std::size_t i = 3; i < frames.size(); ++i) {
        const int type = frames[i][1];
        EXPECT_TRUE(sendable.count(type)) << "type " << type;
        EXPECT_LE(frames[i][2], type == 9 || type == 16 ? 249 : 250);
    }
}

TEST(FirmwareGenerator, SeedDecidesTheBytes) {
    FirmwareRecipe recipe;
    EXPECT_EQ(GenerateFirmware(recipe), GenerateFirmware(recipe));
    const auto first = GenerateFirmware(recipe);
    recipe.seed = 2;
    EXPECT_NE(GenerateFirmware(recipe), first);
    recipe.targetBytes = 0;
    EXPECT_EQ(SplitFrames(GenerateFirmware(recipe)).size(), 3u); // the records alone
}
