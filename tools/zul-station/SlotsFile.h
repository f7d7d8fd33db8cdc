// The line's sockets: which USB paths the station programs, and the label
// each is known by on the line ("1-1.3 A3").
#pragma once

#include <map>
#include <optional>
#include <string>

class SlotsFile {
  public:
    // Every slot is a socket, none has a label.
    SlotsFile() = default;
    // Reads `file`: one "USBPATH LABEL" per line, whitespace between, '#'
    // to the end of a line a comment, blank lines allowed. Error() says
    // what is wrong, with the file as given and the line number.
    explicit SlotsFile(std::string file);

    const std::string& Error() const { return error; }
    // Whether the station may program a device in `slot`.
    bool Has(const std::string& slot) const { return !given || labels.count(slot) != 0; }
    std::optional<std::string> Label(const std::string& slot) const;
    // The file as given; empty without one.
    const std::string& Name() const { return name; }
    const std::map<std::string, std::string>& Sockets() const { return labels; }

  private:
    std::string Take(const std::string& line, int number, std::map<std::string, int>& labelLines);

    std::string name;
    bool given = false;
    std::map<std::string, std::string> labels; // by slot
    std::map<std::string, int> slotLines;      // where each slot was named
    std::string error;
};
