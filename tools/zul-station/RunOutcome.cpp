#include "RunOutcome.h"

#include <sys/wait.h>

#include "app/Exitstatus.h"
#include "app/Resulttable.h"

RunOutcome RunOutcome::FromWaitStatus(int waitStatus) {
    RunOutcome outcome;
    if (WIFSIGNALED(waitStatus)) {
        outcome.exitStatus = 128 + WTERMSIG(waitStatus);
        outcome.meaning = "ended by signal " + std::to_string(WTERMSIG(waitStatus));
        return outcome;
    }
    outcome.exitStatus = WEXITSTATUS(waitStatus);
    if (const resulttable::Entry* entry = resulttable::ByPosixStatus(outcome.exitStatus)) {
        outcome.result = entry->result;
        outcome.meaning = entry->meaning;
        return outcome;
    }
    outcome.meaning = outcome.exitStatus == kConversionErrorExitStatus
                          ? "the device's port name is not COM and a number"
                          : "not a status the tool gives";
    return outcome;
}
