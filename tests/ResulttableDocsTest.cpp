// The README's and the tool's manual page's exit-status tables say, row for
// row, what the results table the tool and the station use says.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "app/Resulttable.h"

namespace {

std::string Read(const std::string& file) {
    std::ifstream in(std::string(ZUL_SOURCE_DIR) + "/" + file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "-5" as roff writes a minus sign.
std::string RoffNumber(std::int32_t value) {
    const std::string text = std::to_string(value);
    return value < 0 ? "\\" + text : text;
}

TEST(ResultTable, EveryResultIsDocumentedWithItsStatusAndMeaning) {
    const std::string readme = Read("README.md");
    const std::string manual = Read("man/Download_ZUL_Console.1");
    ASSERT_FALSE(readme.empty());
    ASSERT_FALSE(manual.empty());
    for (const resulttable::Entry& entry : resulttable::kEntries) {
        const std::string meaning(entry.meaning);
        SCOPED_TRACE(meaning);
        const std::string row = "| " + std::to_string(entry.result) + " | " +
                                std::to_string(entry.posixStatus) + " | " + meaning;
        EXPECT_NE(readme.find("\n" + row + " |\n"), std::string::npos) << row;
        std::string sentence = meaning;
        sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
        const std::string item = ".TP\n.BR " + std::to_string(entry.posixStatus) + " \" (result " +
                                 RoffNumber(entry.result) + ")\"\n" + sentence;
        EXPECT_NE(manual.find(item), std::string::npos) << item;
    }
    // No row of a result the table does not hold: count the section's rows.
    const std::size_t from = readme.find("## Exit status");
    const std::string section = readme.substr(from, readme.find("\n## ", from + 1) - from);
    std::size_t documented = 0;
    for (std::size_t at = section.find("\n| "); at != std::string::npos;
         at = section.find("\n| ", at + 1)) {
        const char first = section[at + 3];
        documented += first == '-' || std::isdigit(static_cast<unsigned char>(first)) != 0;
    }
    EXPECT_EQ(documented, resulttable::kEntries.size());
}

} // namespace
