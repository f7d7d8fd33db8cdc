#include "ResultTable.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

} // namespace

ResultTable::ResultTable(std::vector<std::string> columnNames) : columns(std::move(columnNames)) {}

void ResultTable::Add(const MetricSpec& metric, std::size_t column, double value) {
    auto row = std::find_if(rows.begin(), rows.end(),
                            [&](const Row& r) { return r.metric.name == metric.name; });
    if (row == rows.end()) {
        rows.push_back({metric, std::vector<std::vector<double>>(columns.size())});
        row = rows.end() - 1;
    }
    row->samples.at(column).push_back(value);
}

std::optional<ResultTable::Summary> ResultTable::Summarise(std::vector<double> samples) {
    if (samples.empty()) {
        return std::nullopt;
    }
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double median = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    return Summary{median, samples.front(), samples.back(), n};
}

std::string ResultTable::GoalText(const MetricSpec& metric) {
    if (!metric.goal) {
        return "";
    }
    return (metric.goalInclusive ? "<= " : "< ") + Fixed(*metric.goal, metric.decimals);
}

bool ResultTable::Meets(const MetricSpec& metric, double value) {
    return !metric.goal || (metric.goalInclusive ? value <= *metric.goal : value < *metric.goal);
}

std::string ResultTable::Cell(const Row& row, std::size_t column) const {
    const std::optional<Summary> s = Summarise(row.samples[column]);
    if (!s) {
        return "-";
    }
    const int d = row.metric.decimals;
    std::string text = Fixed(s->median, d);
    if (s->count > 1 && Fixed(s->min, d) != Fixed(s->max, d)) {
        text += " (" + Fixed(s->min, d) + "-" + Fixed(s->max, d) + ")";
    }
    return text + (Meets(row.metric, s->median) ? "" : " MISSED");
}

std::string ResultTable::Text() const {
    std::size_t nameWidth = 6;
    for (const Row& row : rows) {
        nameWidth = std::max(nameWidth, row.metric.name.size() + row.metric.unit.size() + 3);
    }
    std::vector<std::size_t> widths(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        widths[c] = columns[c].size();
        for (const Row& row : rows) {
            widths[c] = std::max(widths[c], Cell(row, c).size());
        }
    }
    std::string text = Padded("metric", nameWidth) + "  " + Padded("goal", 9);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        text += "  " + Padded(columns[c], widths[c]);
    }
    const auto endLine = [&text] {
        while (text.back() == ' ') {
            text.pop_back();
        }
        text += "\n";
    };
    endLine();
    for (const Row& row : rows) {
        text += Padded(row.metric.name + " (" + row.metric.unit + ")", nameWidth) + "  " +
                Padded(GoalText(row.metric), 9);
        for (std::size_t c = 0; c < columns.size(); ++c) {
            text += "  " + Padded(Cell(row, c), widths[c]);
        }
        endLine();
    }
    return text;
}

std::string ResultTable::Csv() const {
    std::string text = "metric,unit,goal,size,runs,median,min,max,goal_met\n";
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const std::optional<Summary> s = Summarise(row.samples[c]);
            if (!s) {
                continue;
            }
            const int d = row.metric.decimals + 2;
            text += "\"" + row.metric.name + "\"," + row.metric.unit + "," + GoalText(row.metric) +
                    "," + columns[c] + "," + std::to_string(s->count) + "," + Fixed(s->median, d) +
                    "," + Fixed(s->min, d) + "," + Fixed(s->max, d) + "," +
                    (row.metric.goal ? (Meets(row.metric, s->median) ? "yes" : "no") : "") + "\n";
        }
    }
    return text;
}

bool ResultTable::AllGoalsMet() const {
    for (const Row& row : rows) {
        for (const std::vector<double>& samples : row.samples) {
            const std::optional<Summary> s = Summarise(samples);
            if (s && !Meets(row.metric, s->median)) {
                return false;
            }
        }
    }
    return true;
}
