#include "app/Exitstatus.h"

// A Windows exit code is 32 bits wide: callers see the run's result itself.
int ProcessExitStatus(std::int32_t runResult) {
    return runResult;
}
