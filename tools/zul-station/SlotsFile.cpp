#include "SlotsFile.h"

#include <fstream>
#include <regex>
#include <sstream>

namespace {

// "<bus>-<port>[.<port>...]", as the kernel names a USB device by where it
// is plugged in.
bool IsUsbPath(const std::string& text) {
    static const std::regex path("[0-9]+-[0-9]+(\\.[0-9]+)*");
    return std::regex_match(text, path);
}

} // namespace

SlotsFile::SlotsFile(std::string file) : name(std::move(file)), given(true) {
    std::ifstream in(name);
    if (!in) {
        error = name + ": cannot be read";
        return;
    }
    std::map<std::string, int> labelLines;
    std::string line;
    for (int number = 1; error.empty() && std::getline(in, line); ++number) {
        const std::string problem = Take(line.substr(0, line.find('#')), number, labelLines);
        if (!problem.empty()) {
            error = name + ":" + std::to_string(number) + ": " + problem;
        }
    }
    if (error.empty() && labels.empty()) {
        error = name + ": names no socket";
    }
}

// One line, its comment removed; what is wrong with it, or empty.
std::string SlotsFile::Take(const std::string& line, int number,
                            std::map<std::string, int>& labelLines) {
    std::istringstream words(line);
    std::string slot;
    std::string label;
    std::string more;
    if (!(words >> slot)) {
        return {}; // blank
    }
    if (!(words >> label)) {
        return "socket " + slot + " has no label";
    }
    if (words >> more) {
        return "more than a socket and a label: '" + more + "'";
    }
    if (!IsUsbPath(slot)) {
        return "'" + slot + "' is not a USB path such as 1-1.3";
    }
    if (const auto [it, added] = slotLines.emplace(slot, number); !added) {
        return "socket " + slot + " named twice (first on line " + std::to_string(it->second) + ")";
    }
    if (const auto [it, added] = labelLines.emplace(label, number); !added) {
        return "label " + label + " named twice (first on line " + std::to_string(it->second) + ")";
    }
    labels[slot] = label;
    return {};
}

std::optional<std::string> SlotsFile::Label(const std::string& slot) const {
    const auto it = labels.find(slot);
    return it != labels.end() ? std::optional(it->second) : std::nullopt;
}
