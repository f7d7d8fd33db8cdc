#include "StatusDisplay.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <unistd.h>

namespace {

constexpr int kBarWidth = 20;

std::string StateText(const SlotRun& run) {
    switch (run.State()) {
    case RunState::Probing:
        return "probing";
    case RunState::Programming:
        return "programming";
    case RunState::Done:
        return "done";
    case RunState::Failed:
        break;
    }
    const RunOutcome& outcome = run.Outcome();
    std::string text = "failed: ";
    text += outcome.result ? std::to_string(*outcome.result)
                           : "exit " + std::to_string(outcome.exitStatus);
    text += " ";
    text += outcome.meaning;
    return text;
}

std::string Bar(int percent) {
    const auto filled = static_cast<std::size_t>(std::clamp(percent, 0, 100) * kBarWidth / 100);
    std::string bar(kBarWidth + 2, '-');
    bar.front() = '[';
    bar.back() = ']';
    bar.replace(1, filled, filled, '#');
    return bar;
}

std::string Clock() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace

StatusDisplay::StatusDisplay(std::FILE* stream)
    : out(stream), terminal(isatty(fileno(stream)) != 0) {}

std::string StatusDisplay::Line(const SlotRun& run) const {
    char text[96];
    std::snprintf(text, sizeof text, "%-12s %s %3d%% ", run.Title().c_str(),
                  Bar(run.Progress()).c_str(), run.Progress());
    return text + StateText(run) + " " + std::to_string(run.ElapsedSeconds()) + " s";
}

void StatusDisplay::Event(const SlotRun& run) {
    if (terminal) {
        Refresh(run);
        return;
    }
    std::fprintf(out, "%s %s %s, %ld s, %s\n", Clock().c_str(), run.Title().c_str(),
                 StateText(run).c_str(), run.ElapsedSeconds(), run.Folder().c_str());
    std::fflush(out);
}

void StatusDisplay::Refresh(const SlotRun& run) {
    if (terminal) {
        lines[run.Slot()] = Line(run);
        Redraw();
    }
}

// Back to the first slot's line, then every line rewritten whole.
void StatusDisplay::Redraw() {
    if (drawn > 0) {
        std::fprintf(out, "\x1b[%zuF", drawn);
    }
    for (const auto& [slot, line] : lines) {
        std::fprintf(out, "\x1b[2K%s\n", line.c_str());
    }
    drawn = lines.size();
    std::fflush(out);
}

void StatusDisplay::Message(const std::string& text) {
    std::fprintf(out, "%s\n", text.c_str());
    std::fflush(out);
    drawn = 0; // the next redraw starts below the message
}

void StatusDisplay::Summary(const std::vector<const SlotRun*>& runs) {
    std::fprintf(out, "\n%-12s %-7s %-5s %-7s %s\n", "slot", "result", "exit", "time", "meaning");
    for (const SlotRun* run : runs) {
        const RunOutcome& outcome = run->Outcome();
        std::fprintf(out, "%-12s %-7s %-5d %-7s %s\n", run->Title().c_str(),
                     outcome.result ? std::to_string(*outcome.result).c_str() : "-",
                     outcome.exitStatus, (std::to_string(run->ElapsedSeconds()) + " s").c_str(),
                     outcome.meaning.c_str());
    }
    std::fflush(out);
}
