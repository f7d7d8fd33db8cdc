// The station's state as the dashboard and the metrics show it: written by
// the station's loop, read by the server's threads. The loop only takes a
// short lock and signals; it never waits for a reader.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "SlotStatus.h"

class StatusBoard {
  public:
    using Clock = SlotStatus::Clock;

    StatusBoard();

    void Begin(StationInfo info);
    // A slot's new state. A progress change alone is published at most
    // every kProgressInterval per slot; anything else at once.
    void Update(SlotStatus status);
    // A run of the slot ended: counted in the totals and the metrics.
    void Ended(const SlotStatus& status);
    // Wakes every waiter for good.
    void Close();

    // The event stream: the events after `seen`, each "data: <slot>\n\n",
    // and the number of the last one. A new reader (`seen` 0), or one left
    // too far behind, gets every slot afresh.
    std::string EventsSince(std::uint64_t& seen);
    // Blocks until there is an event after `seen`, `wake` has passed or
    // Close; publishes held-back progress that is due. False once closed.
    bool AwaitEvents(std::uint64_t seen, Clock::time_point wake);
    std::uint64_t LastEvent();

    std::string StatusJson();
    std::string MetricsText();

    static constexpr auto kProgressInterval = std::chrono::milliseconds(250);

  private:
    struct Event {
        std::uint64_t number;
        std::string data;
    };
    void Publish(const std::string& slot, Clock::time_point now);
    void PublishDue(Clock::time_point now);
    std::string Dump(const nlohmann::json& value) const;

    std::mutex mutex;
    std::condition_variable news;
    StationInfo station;
    std::map<std::string, SlotStatus> slots;
    std::map<std::string, Clock::time_point> lastPublished;
    std::set<std::string> heldBack; // progress not yet published
    std::deque<Event> events;
    std::uint64_t lastEvent = 0;
    bool closed = false;

    long runs = 0;
    long passed = 0;
    long firstAttempts = 0;
    long firstPassed = 0;
    std::map<std::tuple<std::string, std::string, std::string>, long> runsBy; // slot, label, result
    std::vector<long> durationBuckets;
    double durationSum = 0;
};
