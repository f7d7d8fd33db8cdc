#include "app/Moduletypequery.h"

#include <array>
#include <cstdio>
#include <memory>

#include "app/Devicedetection.h"
#include "protocol/Zuldownloadprotocolclass.h"

namespace {

// A module type record asking for type FFFFFFFF.
constexpr std::array<std::uint8_t, 9> kQueryFrame = {0x5B, 0x12, 0x04, 0xFF, 0xFF,
                                                     0xFF, 0xFF, 0x12, 0x5D};

// A file that did not take its frame is as good as none: nothing is sent.
bool WriteQueryFile() {
    std::FILE* file = std::fopen(kQueryFileName, "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written =
        std::fwrite(kQueryFrame.data(), 1, kQueryFrame.size(), file) == kQueryFrame.size();
    return std::fclose(file) == 0 && written;
}

// Blocks until the worker has published its final status.
std::int32_t AwaitStatus(const TZULDownloadProtocolClass& worker) {
    for (;;) {
        const std::uint32_t ticket = worker.PublicationTicket();
        if (const std::int32_t status = TZULDownloadProtocolClass::GetStatus(); status != 0) {
            return status;
        }
        worker.AwaitPublication(ticket);
    }
}

} // namespace

std::int32_t QueryModuleType(std::uint32_t& moduleType) {
    if (!WriteQueryFile()) {
        return -1;
    }
    auto worker = std::make_unique<TZULDownloadProtocolClass>(true);
    TZULDownloadProtocolClass::SetDownloadParameters(kQueryFileName, serialPort);
    worker->Start();
    const std::int32_t status = AwaitStatus(*worker);
    // A device of any type but FFFFFFFF fails the record's comparison (-13)
    // after its type was taken.
    std::int32_t result = -1;
    if (status >= 0 || status == -13) {
        moduleType = TZULDownloadProtocolClass::GetDeviceModuleType();
        result = 1;
    }
    worker.reset();
    return result;
}
