#include "RunOutcome.h"

#include <array>
#include <sys/wait.h>
#include <utility>

#include "app/Exitstatus.h"

namespace {

constexpr std::array<std::pair<std::int32_t, const char*>, 19> kMeanings = {{
    {1, "download successful"},
    {0, "help text printed"},
    {-1, "a frame failed in transfer in all three attempts"},
    {-2, "no port could be opened and written within the detection time"},
    {-3, "the firmware file is invalid or cannot be read"},
    {-4, "the device did not acknowledge the connect frame"},
    {-5, "a reply to a command of type 3 failed its check"},
    {-6, "a reply to a command of type 5 failed its check"},
    {-7, "a reply to a command of type 7 failed its check"},
    {-8, "a reply to a command of type 9 failed its check"},
    {-9, "a reply to a command of type 11 failed its check"},
    {-11, "a reply to a command of type 14 failed its check"},
    {-12, "a reply to a command of type 16 failed its check"},
    {-13, "a reply to a command of type 18 failed its check"},
    {-14, "the file holds a frame of a type the protocol does not know"},
    {-256, "main revision, module type or build time differs from the expected value"},
    {-257, "sub revision differs from the expected value"},
    {-260, "the log file cannot be created"},
    {-261, "usage error"},
}};

} // namespace

RunOutcome RunOutcome::FromWaitStatus(int waitStatus) {
    RunOutcome outcome;
    if (WIFSIGNALED(waitStatus)) {
        outcome.exitStatus = 128 + WTERMSIG(waitStatus);
        outcome.meaning = "ended by signal " + std::to_string(WTERMSIG(waitStatus));
        return outcome;
    }
    outcome.exitStatus = WEXITSTATUS(waitStatus);
    // The tool's own mapping, read backwards: each result has a status of its own.
    for (const auto& [result, meaning] : kMeanings) {
        if (ProcessExitStatus(result) == outcome.exitStatus) {
            outcome.result = result;
            outcome.meaning = meaning;
            return outcome;
        }
    }
    outcome.meaning = outcome.exitStatus == kConversionErrorExitStatus
                          ? "the device's port name is not COM and a number"
                          : "not a status the tool gives";
    return outcome;
}
