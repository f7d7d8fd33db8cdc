// The firmware file parser on files written to a scratch directory. The fuzz
// target judges the frame rule and good files on its corpus; these are the
// cases it leaves: the last record of each kind, values kept up to a bad
// frame, odd files.
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

TEST(Fileparser, ResultsAndIdentification) {
    const Bytes revision = MakeFrame(20, {0x00, 0xA7, 0x00, 0x03});
    // Each file in parts.
    const std::pair<std::vector<Bytes>, Parsed> cases[] = {
        {{MakeFrame(18, {0, 0, 0, 1}), MakeFrame(18, {0, 0, 0, 2}), revision,
          MakeFrame(20, {0x12, 0x34, 0x00, 0x00})},
         {1, 2, 0x1234, 0, 0}},
        // Values set before an invalid frame stay; nothing after it is read.
        {{revision, {0x5B, 0x0D, 0x00, 0x00, 0x5D}, MakeFrame(18, {0, 0, 0, 2})},
         {-3, 0, 167, 3, 0}},
        {{revision, {0x5B}, MakeFrame(13, {})}, {-3, 0, 167, 3, 0}}, // no resynchronisation
    };
    Tempdir dir;
    for (const auto& [parts, expected] : cases) {
        Bytes file;
        for (const Bytes& part : parts) {
            file.insert(file.end(), part.begin(), part.end());
        }
        WriteBytes(dir.File("fw.ctf"), file);
        EXPECT_EQ(Parse(dir.File("fw.ctf")), expected) << testing::PrintToString(file);
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
