#include "app/Logfile.h"

#include <array>
#include <cstdarg>

void WriteLogEntry(std::FILE* log, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(log, format, arguments);
    va_end(arguments);
    std::fflush(log);
}

std::string DateText(std::time_t time) {
    static constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed",
                                                             "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::tm* local = std::localtime(&time);
    if (local == nullptr || local->tm_wday < 0 || local->tm_wday > 6 || local->tm_mon < 0 ||
        local->tm_mon > 11) {
        return "??? ??? ?? ??:??:?? ????\n";
    }
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%s %s %02d %02d:%02d:%02d %4d%s",
                  kWeekdays[local->tm_wday], kMonths[local->tm_mon], local->tm_mday, local->tm_hour,
                  local->tm_min, local->tm_sec, local->tm_year + 1900, "\n");
    return text.data();
}
