#include "app/Resulttable.h"

#include <algorithm>

namespace resulttable {

const Entry* ByResult(std::int32_t result) {
    const auto it = std::find_if(kEntries.begin(), kEntries.end(),
                                 [result](const Entry& entry) { return entry.result == result; });
    return it == kEntries.end() ? nullptr : &*it;
}

const Entry* ByPosixStatus(int status) {
    const auto it = std::find_if(kEntries.begin(), kEntries.end(), [status](const Entry& entry) {
        return entry.posixStatus == status;
    });
    return it == kEntries.end() ? nullptr : &*it;
}

} // namespace resulttable
