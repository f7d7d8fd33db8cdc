// What the technician sees: on a terminal, one line per slot redrawn in
// place, with the notices below them, every line fitted to the terminal's
// width; otherwise one plain line per event, for a log.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "SlotRun.h"
#include "runtime/Naturalorder.h"

class StatusDisplay {
  public:
    // A terminal when `out` is one.
    explicit StatusDisplay(std::FILE* stream);

    bool Terminal() const { return terminal; }

    // A run started, changed state or ended.
    void Event(const SlotRun& run);
    // A run's progress moved, or time passed: the terminal lines are redrawn.
    void Refresh(const SlotRun& run);
    void Message(const std::string& text);
    // The terminal was resized: the lines are redrawn to its new width.
    void Resize();
    // The table of every finished run, by slot.
    void Summary(const std::vector<const SlotRun*>& runs);

  private:
    void Redraw();
    std::size_t RowsDrawn() const;
    std::string Fit(const std::string& text) const;
    std::vector<std::string> Fold(const std::string& text) const;
    std::string Line(const SlotRun& run) const;

    std::FILE* out;
    bool terminal;
    std::size_t width;
    std::map<std::string, std::string, NaturalOrder> lines; // the last text of each slot
    std::vector<std::string> notices;                       // shown below the slots
    std::vector<std::size_t> drawn; // the length of each line below the cursor's home
};
