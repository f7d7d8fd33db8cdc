#include "StatusDisplay.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int kBarWidth = 20;
constexpr std::size_t kUsualWidth = 80; // when the terminal does not say

std::size_t TerminalWidth(std::FILE* stream) {
    winsize size{};
    const bool known = ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
    return known ? size.ws_col : kUsualWidth;
}

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
    : out(stream), terminal(isatty(fileno(stream)) != 0), width(TerminalWidth(stream)) {}

// The time before the state: a line cut short loses the end of a failure's
// meaning, never the figures.
std::string StatusDisplay::Line(const SlotRun& run) const {
    char text[96];
    std::snprintf(text, sizeof text, "%-12s %s %3d%% %3ld s ", run.Title().c_str(),
                  Bar(run.Progress()).c_str(), run.Progress(), run.ElapsedSeconds());
    return text + StateText(run);
}

// Short of the last column: a line that filled it would leave some terminals
// wrapped, or waiting to wrap, and the next redraw a row off.
std::string StatusDisplay::Fit(const std::string& text) const {
    return text.substr(0, width > 1 ? width - 1 : 1);
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

// A notice is read whole: folded at spaces into lines that fit, where a
// slot's line is cut.
std::vector<std::string> StatusDisplay::Fold(const std::string& text) const {
    const std::size_t room = width > 1 ? width - 1 : 1;
    std::vector<std::string> parts(1);
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = std::min(text.find(' ', from), text.size());
        const std::string word = text.substr(from, end - from);
        if (!parts.back().empty() && parts.back().size() + 1 + word.size() > room) {
            parts.emplace_back();
        }
        parts.back() += (parts.back().empty() ? "" : " ") + word;
        from = end + 1;
    }
    return parts;
}

// The rows the drawn lines take at today's width: a terminal that reflows
// its lines when it narrows splits a line too long for it into several.
std::size_t StatusDisplay::RowsDrawn() const {
    std::size_t rows = 0;
    for (const std::size_t length : drawn) {
        rows += length > width ? (length + width - 1) / width : 1;
    }
    return rows;
}

// Back to the first slot's line, then every line rewritten, then whatever
// an earlier, wider drawing left below cleared.
void StatusDisplay::Redraw() {
    width = TerminalWidth(out); // a resize not yet signalled counts too
    if (const std::size_t rows = RowsDrawn(); rows > 0) {
        std::fprintf(out, "\x1b[%zuF", rows);
    }
    drawn.clear();
    const auto draw = [this](const std::string& line) {
        const std::string text = Fit(line);
        std::fprintf(out, "\x1b[2K%s\n", text.c_str()); // the row cleared whole, its wrap too
        drawn.push_back(text.size());
    };
    for (const auto& [slot, line] : lines) {
        draw(line);
    }
    for (const std::string& notice : notices) {
        for (const std::string& part : Fold(notice)) {
            draw(part);
        }
    }
    std::fputs("\x1b[J", out);
    std::fflush(out);
}

void StatusDisplay::Message(const std::string& text) {
    if (terminal) {
        // Said once: a notice repeated (every run that cannot append its
        // record) would push the slots off the screen.
        if (std::find(notices.begin(), notices.end(), text) == notices.end()) {
            notices.push_back(text);
        }
        Redraw();
        return;
    }
    std::fprintf(out, "%s\n", text.c_str());
    std::fflush(out);
}

void StatusDisplay::Resize() {
    if (terminal) {
        Redraw();
    }
}

// In slot order, each slot's runs in the order they ended.
void StatusDisplay::Summary(const std::vector<const SlotRun*>& runs) {
    std::vector<const SlotRun*> bySlot = runs;
    std::stable_sort(bySlot.begin(), bySlot.end(), [](const SlotRun* a, const SlotRun* b) {
        return NaturalLess(a->Slot(), b->Slot());
    });
    width = TerminalWidth(out);
    const auto print = [this](const std::string& line) {
        std::fprintf(out, "%s\n", (terminal ? Fit(line) : line).c_str());
    };
    char text[160];
    std::snprintf(text, sizeof text, "%-12s %-7s %-5s %-7s %s", "slot", "result", "exit", "time",
                  "meaning");
    std::fputs("\n", out);
    print(text);
    for (const SlotRun* run : bySlot) {
        const RunOutcome& outcome = run->Outcome();
        std::snprintf(text, sizeof text, "%-12s %-7s %-5d %-7s ", run->Title().c_str(),
                      outcome.result ? std::to_string(*outcome.result).c_str() : "-",
                      outcome.exitStatus, (std::to_string(run->ElapsedSeconds()) + " s").c_str());
        print(text + outcome.meaning);
    }
    std::fflush(out);
}
