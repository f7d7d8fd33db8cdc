// What ctf-gen's users ask of it beyond what the demo's default file shows:
// the identification asked for, and bytes that only the seed decides.
#include <gtest/gtest.h>

#include "FirmwareGenerator.h"
#include "Tempdir.h"
#include "firmware/Fileparser.h"

TEST(FirmwareGenerator, MakesTheRequestedIdentificationAndSeedDecidesTheBytes) {
    FirmwareRecipe recipe{0x0A0B0C0D, 7, 9, 0x4B000000, 64 * 1024, 3};
    const auto file = GenerateFirmware(recipe);
    EXPECT_GE(file.size(), recipe.targetBytes);
    EXPECT_LT(file.size(), recipe.targetBytes + 3 * 260);
    Tempdir dir;
    WriteBytes(dir.File("fw.ctf"), file);
    TFileParser parser;
    ASSERT_EQ(parser.ParseFile(dir.File("fw.ctf")), 1);
    EXPECT_EQ(std::tuple(parser.GetModuleType(""), parser.GetMainRevision(""),
                         parser.GetSubRevision(""), parser.GetBuildTime("")),
              std::tuple(0x0A0B0C0Du, 7, 9, 0x4B000000u));

    EXPECT_EQ(GenerateFirmware(recipe), file);
    recipe.seed = 4;
    EXPECT_NE(GenerateFirmware(recipe), file);
}
