#include "ResultsSummary.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include "RunOutcome.h"
#include "app/Exitstatus.h"

namespace {

constexpr int kFileUnreadable = 1;

// Runs of digits compared as numbers, everything else byte by byte.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            const std::size_t endA = std::find_if_not(a.begin() + i, a.end(), digit) - a.begin();
            const std::size_t endB = std::find_if_not(b.begin() + j, b.end(), digit) - b.begin();
            const std::string numberA = a.substr(i, endA - i);
            const std::string numberB = b.substr(j, endB - j);
            const std::size_t zerosA = std::min(numberA.find_first_not_of('0'), numberA.size());
            const std::size_t zerosB = std::min(numberB.find_first_not_of('0'), numberB.size());
            const std::string valueA = numberA.substr(zerosA);
            const std::string valueB = numberB.substr(zerosB);
            if (valueA.size() != valueB.size() || valueA != valueB) {
                return valueA.size() != valueB.size() ? valueA.size() < valueB.size()
                                                      : valueA < valueB;
            }
            i = endA;
            j = endB;
        } else if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        } else {
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// "-6 a reply to a command of type 5 failed its check": the tool's meaning.
std::string FailureText(const std::string& result) {
    if (result == "null") {
        return "null the run gave no result of the tool";
    }
    const std::int32_t code = std::stoi(result);
    const RunOutcome outcome = RunOutcome::FromWaitStatus(W_EXITCODE(ProcessExitStatus(code), 0));
    return result + " " +
           (outcome.result == code ? outcome.meaning : "not a result the tool gives");
}

} // namespace

ResultsSummary::ResultsSummary(std::vector<std::string> resultsFiles)
    : files(std::move(resultsFiles)), slots(NaturalLess) {}

int ResultsSummary::Print(std::FILE* out, std::FILE* err) {
    bool allRead = true;
    for (const std::string& file : files) {
        allRead = Read(file, err) && allRead;
    }
    for (const auto& [slot, tally] : slots) {
        PrintLine(out, slot, tally);
    }
    PrintLine(out, "total", total);
    std::fflush(out);
    return allRead ? 0 : kFileUnreadable;
}

bool ResultsSummary::Read(const std::string& file, std::FILE* err) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(err, "zul-station: cannot read %s: %s\n", file.c_str(), std::strerror(errno));
        return false;
    }
    int others = 0;
    int first = 0;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.find_first_not_of(" \t\r") != std::string::npos && !Take(line)) {
            first = others++ == 0 ? number : first;
        }
    }
    if (others > 0) {
        std::fprintf(err, "zul-station: %s: %d %s (first: line %d)\n", file.c_str(), others,
                     others == 1 ? "line is not a record" : "lines are not records", first);
    }
    return true;
}

// A record: an object with a "slot" and a "result", a number or null.
bool ResultsSummary::Take(const std::string& line) {
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (!record.is_object() || !record.contains("slot") || !record["slot"].is_string() ||
        !record.contains("result") ||
        !(record["result"].is_number_integer() || record["result"].is_null())) {
        return false;
    }
    // Records written before retries existed were first attempts.
    const nlohmann::json attempt = record.value("attempt", nlohmann::json(1));
    const bool firstAttempt = attempt.is_number_integer() && attempt.get<long>() == 1;
    const std::string result = record["result"].dump();
    Tally& tally = slots[record["slot"].get<std::string>()];
    if (record.contains("label") && record["label"].is_string()) {
        tally.label = record["label"].get<std::string>();
    }
    Add(tally, result, firstAttempt);
    Add(total, result, firstAttempt);
    return true;
}

void ResultsSummary::Add(Tally& tally, const std::string& result, bool firstAttempt) {
    const bool passed = result == "1";
    ++tally.runs;
    tally.passed += passed ? 1 : 0;
    tally.firstAttempts += firstAttempt ? 1 : 0;
    tally.firstPassed += firstAttempt && passed ? 1 : 0;
    if (!passed) {
        const auto it = std::find_if(tally.failures.begin(), tally.failures.end(),
                                     [&](const auto& failure) { return failure.first == result; });
        if (it == tally.failures.end()) {
            tally.failures.emplace_back(result, 1);
        } else {
            ++it->second;
        }
    }
}

// slot, label, runs, passed, failed, first-pass yield, most frequent failure
// (of equal counts, the one seen first).
void ResultsSummary::PrintLine(std::FILE* out, const std::string& slot, const Tally& tally) {
    char yield[16] = "-";
    if (tally.firstAttempts > 0) {
        std::snprintf(yield, sizeof yield, "%.1f%%",
                      100.0 * tally.firstPassed / tally.firstAttempts);
    }
    const auto most =
        std::max_element(tally.failures.begin(), tally.failures.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    const std::string failure = most == tally.failures.end() ? "-" : FailureText(most->first);
    std::fprintf(out, "%-12s %-10s %5d %6d %6d %6s  %s\n", slot.c_str(), tally.label.c_str(),
                 tally.runs, tally.passed, tally.runs - tally.passed, yield, failure.c_str());
}
