// What the technician sees: on a terminal, one line per slot redrawn in
// place; otherwise one plain line per event, for a log.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "SlotRun.h"

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
    // The table of every finished run.
    void Summary(const std::vector<const SlotRun*>& runs);

  private:
    void Redraw();
    std::string Line(const SlotRun& run) const;

    std::FILE* out;
    bool terminal;
    std::map<std::string, std::string> lines; // the last text of each slot, by slot
    std::size_t drawn = 0;                    // terminal lines below the cursor's home
};
