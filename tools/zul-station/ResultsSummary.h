// --summary: the yield of a line from its results files, one line per slot
// (a socket that fails often is a bad cable or hub port), then the total.
#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

class ResultsSummary {
  public:
    explicit ResultsSummary(std::vector<std::string> resultsFiles);
    // Prints the table to `out`, what could not be read to `err`; the exit
    // status: 1 when a file could not be read.
    int Print(std::FILE* out, std::FILE* err);

  private:
    struct Tally {
        std::string label = "-";
        int runs = 0;
        int passed = 0;
        int firstAttempts = 0;
        int firstPassed = 0;
        // Failures by result ("null": no result), in the order first seen.
        std::vector<std::pair<std::string, int>> failures;
    };
    bool Read(const std::string& file, std::FILE* err);
    bool Take(const std::string& line);
    static void Add(Tally& tally, const std::string& result, bool firstAttempt);
    static void PrintLine(std::FILE* out, const std::string& slot, const Tally& tally);

    std::vector<std::string> files;
    // By slot, in natural order of USB path (1-1.2 before 1-1.10).
    std::map<std::string, Tally, bool (*)(const std::string&, const std::string&)> slots;
    Tally total;
};
