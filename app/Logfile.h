// Writing the log: whole entries, each reaching the file at once so that a
// reader following the log never sees half of one.
#pragma once

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#if defined(__GNUC__)
#define ZUL_PRINTF_FORMAT(formatIndex, firstArgument)                                              \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define ZUL_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
// A file of the run, closed when its owner lets it go.
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

// One formatted entry, flushed at once.
void WriteLogEntry(std::FILE* log, const char* format, ...) ZUL_PRINTF_FORMAT(2, 3);

// "Sun Dec 06 00:13:34 2026" in local time and a line feed; question marks
// in place of the fields when the time cannot be converted.
std::string DateText(std::time_t time);
