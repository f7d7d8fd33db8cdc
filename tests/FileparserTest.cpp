// The firmware file parser on files written to a scratch directory. The fuzz
// target judges the frame rule on its corpus; these are the cases it leaves:
// the last record of each kind, values kept up to a bad frame, odd files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "Tempdir.h"
#include "Testframes.h"
#include "firmware/Fileparser.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
// Result, module type, main revision, sub revision, build time.
using Parsed = std::tuple<std::int32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint32_t>;

Parsed Parse(const std::string& name) {
    TFileParser parser;
    const std::int32_t result = parser.ParseFile(name);
    // The getters ignore the name they are given.
    return {result, parser.GetModuleType(""), parser.GetMainRevision("other"),
            parser.GetSubRevision(name), parser.GetBuildTime("")};
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST(Fileparser, ResultsAndIdentification) {
    const Bytes revision = MakeFrame(20, {0x00, 0xA7, 0x00, 0x03});
    const std::pair<Bytes, Parsed> cases[] = {
        {Cat({{'H', '\r', '\n'},
              MakeFrame(22, {0x4B, 0, 0, 0}),
              {0, 0xFF, 0x5D},
              revision,
              MakeFrame(18, {0, 0, 0, 7, 0xAA, 0xBB})}),
         {1, 7, 167, 3, 0x4B000000}},
        {Cat({MakeFrame(18, {0, 0, 0, 1}), MakeFrame(18, {0, 0, 0, 2}), revision,
              MakeFrame(20, {0x12, 0x34, 0x00, 0x00})}),
         {1, 2, 0x1234, 0, 0}},
        // Values set before an invalid frame stay; nothing after it is read.
        {Cat({revision, {0x5B, 0x0D, 0x00, 0x00, 0x5D}, MakeFrame(18, {0, 0, 0, 2})}),
         {-3, 0, 167, 3, 0}},
        {Cat({revision, {0x5B}, MakeFrame(13, {})}), {-3, 0, 167, 3, 0}}, // no resynchronisation
        {MakeFrame(22, {1, 2, 3}), {-3, 0, 0, 0, 0}},
        {{0x5B, 0x12, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0x5D}, {-3, 0, 0, 0, 0}}, // not wrapped
    };
    Tempdir dir;
    for (const auto& [bytes, expected] : cases) {
        WriteBytes(dir.File("fw.ctf"), bytes);
        EXPECT_EQ(Parse(dir.File("fw.ctf")), expected) << testing::PrintToString(bytes);
    }
}

TEST(Fileparser, UnreadableOrEndlessFilesAreRefusedPromptly) {
    alarm(20); // a parser that blocks or never ends is killed, and the test fails
    Tempdir dir;
    const std::string fifo = dir.File("pipe.ctf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Holding a writer lets a wrong parser get past its open; closing it
    // afterwards gives such a parser its end of file.
    const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    for (const std::string& name :
         {dir.File("missing.ctf"), dir.Path().string(), std::string("/dev/zero"), fifo}) {
        EXPECT_EQ(Parse(name), (Parsed{-3, 0, 0, 0, 0})) << name;
    }
    close(writer);
    alarm(0);
}

} // namespace
