// The firmware file parser: validation frame by frame and the identification
// records, on files written to a scratch directory.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "Tempdir.h"
#include "Testframes.h"
#include "firmware/Fileparser.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Result, module type, main revision, sub revision, build time.
using Parsed = std::tuple<std::int32_t, std::uint32_t, std::uint16_t, std::uint16_t, std::uint32_t>;

Parsed ParseName(const std::string& name) {
    TFileParser parser;
    const std::int32_t result = parser.ParseFile(name);
    // The getters ignore the name they are given.
    return {result, parser.GetModuleType(""), parser.GetMainRevision("other"),
            parser.GetSubRevision(name), parser.GetBuildTime("")};
}

Parsed Parse(const Tempdir& dir, const Bytes& bytes) {
    const std::string name = dir.File("fw.ctf");
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return ParseName(name);
}

const Bytes kModuleType2 = {0x5B, 0x12, 0x04, 0x00, 0x00, 0x00, 0x02, 0x18, 0x5D};
const Bytes kRevision167_3 = {0x5B, 0x14, 0x04, 0x00, 0xA7, 0x00, 0x03, 0xC2, 0x5D};
const Bytes kBuildTime = {0x5B, 0x16, 0x04, 0x4B, 0x00, 0x00, 0x00, 0x65, 0x5D};

TEST(Fileparser, ResultsAndIdentification) {
    const std::vector<std::tuple<const char*, Bytes, Parsed>> cases = {
        {"empty file", {}, {1, 0, 0, 0, 0}},
        {"no frame at all", Text("Firmware image\r\nno frames ] here\r\n"), {1, 0, 0, 0, 0}},
        {"question file", MakeFrame(18, {0xFF, 0xFF, 0xFF, 0xFF}), {1, 0xFFFFFFFF, 0, 0, 0}},
        {"module type and revision", Cat({kModuleType2, kRevision167_3}), {1, 2, 167, 3, 0}},
        {"all three between filler",
         Cat({Text("Heading\r\n"),
              kBuildTime,
              Text("\r\n"),
              kRevision167_3,
              {0, 0xFF, 0x5D},
              kModuleType2,
              Text("\r\n")}),
         {1, 2, 167, 3, 0x4B000000}},
        {"last one wins",
         Cat({MakeFrame(18, {0, 0, 0, 1}), MakeFrame(18, {0, 0, 0, 2})}),
         {1, 2, 0, 0, 0}},
        {"revision record sets both each time",
         Cat({kRevision167_3, MakeFrame(20, {0x12, 0x34, 0x00, 0x00})}),
         {1, 0, 0x1234, 0, 0}},
        {"longer records",
         Cat({MakeFrame(18, {0, 0, 0, 7, 0xAA, 0xBB}), MakeFrame(22, {1, 2, 3, 4, 5, 6, 7, 8})}),
         {1, 7, 0, 0, 0x01020304}},
        {"frame bytes inside payloads",
         Cat({{0x5B, 0x03, 0x02, 0x5D, 0x5B, 0xBD, 0x5D}, MakeFrame(22, {0x5D, 0x5B, 0x5D, 0x5B})}),
         {1, 0, 0, 0, 0x5D5B5D5B}},
        {"other types checked for form only",
         Cat({{0x5B, 0x0D, 0x00, 0x0D, 0x5D},
              MakeFrame(19, {0, 0, 0, 0, 9}),
              MakeFrame(21, {1}),
              MakeFrame(23, {0, 0, 0, 5}),
              MakeFrame(0x5B, {0x5D}),
              MakeFrame(0x5D, {}),
              MakeFrame(0xFF, Bytes(255, 0xA5))}),
         {1, 0, 0, 0, 0}},
        // Values set before an invalid frame stay; nothing after it is read.
        {"stop at the first invalid frame",
         Cat({MakeFrame(18, {0, 0, 0, 1}),
              {0x5B, 0x0D, 0x00, 0x00, 0x5D},
              MakeFrame(18, {0, 0, 0, 2})}),
         {-3, 1, 0, 0, 0}},
    };
    Tempdir dir;
    for (const auto& [name, bytes, expected] : cases) {
        EXPECT_EQ(Parse(dir, bytes), expected) << name;
    }
}

TEST(Fileparser, InvalidFramesMakeTheFileInvalid) {
    std::vector<std::pair<std::string, Bytes>> cases = {
        {"checksum off by one", {0x5B, 0x12, 0x04, 0x00, 0x00, 0x00, 0x02, 0x19, 0x5D}},
        {"end byte 5C", {0x5B, 0x12, 0x04, 0x00, 0x00, 0x00, 0x02, 0x18, 0x5C}},
        {"checksum not wrapped", {0x5B, 0x12, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0x5D}},
        {"a bracket in the filler starts a frame", Cat({Text("Heading [x]\r\n"), kModuleType2})},
        {"no resynchronisation inside a frame", Cat({{0x5B}, {0x5B, 0x0D, 0x00, 0x0D, 0x5D}})},
        {"bad frame after good ones", Cat({kModuleType2, {0x5B, 0x0D, 0x00, 0x0E, 0x5D}})},
    };
    // The file ending at each position inside a frame, alone and after the same
    // frame complete, whose bytes a reader could still hold.
    const Bytes frame = MakeFrame(3, {0x11, 0x22, 0x33});
    for (std::size_t cut = 1; cut < frame.size(); ++cut) {
        const Bytes part(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut));
        cases.emplace_back("cut after byte " + std::to_string(cut), part);
        cases.emplace_back("valid frame, then cut after " + std::to_string(cut),
                           Cat({frame, part}));
    }
    for (const std::uint8_t type : {std::uint8_t{18}, std::uint8_t{20}, std::uint8_t{22}}) {
        for (std::size_t length = 0; length < 4; ++length) {
            cases.emplace_back("record " + std::to_string(type) + " of length " +
                                   std::to_string(length),
                               MakeFrame(type, Bytes(length, 0x01)));
        }
    }
    Tempdir dir;
    for (const auto& [name, bytes] : cases) {
        EXPECT_EQ(std::get<0>(Parse(dir, bytes)), -3) << name;
    }
}

// Runs the parse on a thread of its own so that a parser that blocks or
// loops fails the test instead of hanging it; a stuck thread is abandoned.
std::optional<std::int32_t> ParseWithin(const std::string& name) {
    auto task = std::make_shared<std::packaged_task<std::int32_t()>>(
        [name] { return TFileParser().ParseFile(name); });
    auto result = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        return std::nullopt;
    }
    return result.get();
}

TEST(Fileparser, UnreadableOrEndlessFilesAreRefusedPromptly) {
    const TFileParser fresh; // reads zero before any parse
    EXPECT_EQ(fresh.GetModuleType("f") | fresh.GetBuildTime("f"), 0u);
    EXPECT_EQ(fresh.GetMainRevision("f") | fresh.GetSubRevision("f"), 0);
    Tempdir dir;
    EXPECT_EQ(ParseName(dir.File("missing.ctf")), (Parsed{-3, 0, 0, 0, 0}));
    EXPECT_EQ(ParseName(""), (Parsed{-3, 0, 0, 0, 0}));
    EXPECT_EQ(ParseWithin(dir.Path().string()), -3) << "directory";
    EXPECT_EQ(ParseWithin("/dev/zero"), -3);

    const std::string fifo = dir.File("pipe.ctf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Holding a writer lets a wrong parser get past its open; closing it
    // afterwards gives such a parser its end of file.
    const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(ParseWithin(fifo), -3) << "FIFO";
    close(writer);
}

} // namespace
