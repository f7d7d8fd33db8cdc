#include "app/Exitstatus.h"

#include <array>
#include <utility>

int ProcessExitStatus(std::int32_t runResult) {
    static constexpr std::array<std::pair<std::int32_t, int>, 4> kDriverResults = {{
        {-256, 240},
        {-257, 239},
        {-260, 236},
        {-261, 235},
    }};
    if (runResult >= 0 && runResult <= 1) {
        return runResult;
    }
    if (runResult >= -14 && runResult <= -1) {
        return 256 + runResult; // the worker's and the detection's codes: 255 to 242
    }
    for (const auto& [result, status] : kDriverResults) {
        if (result == runResult) {
            return status;
        }
    }
    return 255; // not a result the tool produces; still a failure
}
