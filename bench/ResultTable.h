// The benchmark's figures: samples per metric and firmware size, printed as
// one table (median and spread) and written as CSV for run-to-run comparison.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct MetricSpec {
    std::string name;
    std::string unit;
    std::optional<double> goal; // an upper limit the median must not pass
    bool goalInclusive = true;  // "at most" rather than "under"
    int decimals = 2;
};

class ResultTable {
  public:
    explicit ResultTable(std::vector<std::string> columns);

    // Rows appear in the order their metric is first added.
    void Add(const MetricSpec& metric, std::size_t column, double value);

    std::string Text() const;
    std::string Csv() const;
    bool AllGoalsMet() const;

  private:
    struct Row {
        MetricSpec metric;
        std::vector<std::vector<double>> samples; // per column
    };
    struct Summary {
        double median, min, max;
        std::size_t count;
    };

    static std::optional<Summary> Summarise(std::vector<double> samples);
    static std::string GoalText(const MetricSpec& metric);
    static bool Meets(const MetricSpec& metric, double value);
    std::string Cell(const Row& row, std::size_t column) const;

    std::vector<std::string> columns;
    std::vector<Row> rows;
};
