#include "app/Exitstatus.h"

#include "app/Resulttable.h"

int ProcessExitStatus(std::int32_t runResult) {
    const resulttable::Entry* entry = resulttable::ByResult(runResult);
    return entry != nullptr ? entry->posixStatus : resulttable::kUnknownResultStatus;
}
