#include "Runlog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

static std::string Hex(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return text;
}

std::string Info(std::uint32_t fileType, std::uint32_t deviceType) {
    return "\r\nFile Information :\r\n------------------\r\nFile module type       : " +
           Hex(fileType) +
           "\r\nFile software revision : 167.300"
           "\r\nFile build time        : Mon Nov 06 00:00:00 2023\n\r\n"
           "\r\nDevice Information :\r\n--------------------\r\nDevice module type     : " +
           Hex(deviceType) + "\r\n";
}

std::string Outcome(int status) {
    return (status < 0
                ? "\r\nError downloading the file (error : " + std::to_string(status) + ")\r\n"
                : "\r\nDownload was successful\r\n") +
           "\r\nDownload time : N seconds";
}

MaskedLog Mask(std::string log) {
    static const std::regex created(
        "^(\r\nZUL download log file created on )(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] [0-2][0-9]:[0-5][0-9]:"
        "[0-6][0-9] [0-9]{4}\n");
    static const std::regex took("\r\nDownload time : ([0-9]+) seconds$");
    MaskedLog masked;
    masked.text =
        std::regex_replace(log, created, "$1DATE\n", std::regex_constants::format_first_only);
    std::smatch match;
    if (std::regex_search(masked.text, match, took)) {
        masked.seconds = std::stoi(match[1].str());
        masked.text = match.prefix().str() + "\r\nDownload time : N seconds";
    }
    return masked;
}

void ExpectDownloadTime(const MaskedLog& log, const ProcessResult& result) {
    EXPECT_GE(log.seconds + 2, result.seconds);
    EXPECT_LE(log.seconds, result.seconds + 1);
}

std::vector<std::uint8_t> LittleEndian(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}
