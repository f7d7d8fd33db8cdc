#include "app/Devicedetection.h"

#include <array>

#include "app/Logfile.h"
#include "runtime/Calendarclock.h"

TRS232Class* serialPort = nullptr;
TSerialCOMPortEnumeration* serialCOMPortEnumeration = nullptr;
std::int32_t detectionState = kDetectionSearching;

namespace {

constexpr std::array<std::uint8_t, 9> kWakeUpString = {'H', 'q', '3', 'v', 'T', '8', 'm', 'W', 'e'};
constexpr std::uint32_t kProbeBaudRate = 166666;
constexpr std::uint32_t kProbeTimeoutMs = 1000;
constexpr double kDetectionLimitSeconds = 6.0;

} // namespace

std::int32_t ProbeDevice(std::uint8_t portNumber) {
    std::array<std::uint8_t, kWakeUpString.size()> wakeUp = kWakeUpString;
    // Every step runs; only a short write (-1, all bits set) fails the probe.
    int result = 0;
    result |= serialPort->OpenPort(portNumber);
    result |= serialPort->ConfigurePort(kProbeBaudRate, 8, serialport::kNoParity,
                                        serialport::kTwoStopBits);
    result |= serialPort->SetTimeouts(kProbeTimeoutMs, kProbeTimeoutMs);
    result |= serialPort->WriteBlock(wakeUp.data(), static_cast<int>(wakeUp.size()));
    if (result == -1) {
        serialPort->ClosePort();
        return -1;
    }
    serialPort->ReadByte(); // the answer, or a time-out: either way the device counts as found
    return 1;
}

void DetectDevice(std::FILE* log, std::uint8_t forcedPort, std::time_t startTime) {
    const std::uint8_t discoveredPort = serialCOMPortEnumeration->GetDevicePortNumber();
    WriteLogEntry(log, "\r\nB4K auto detection gave COM %d", discoveredPort);
    while (detectionState == kDetectionSearching) {
        if (ProbeDevice(discoveredPort) == 1) {
            detectionState = kDetectionFound;
        } else if (forcedPort != 0 && ProbeDevice(forcedPort) == 1) {
            detectionState = kDetectionFound;
        }
        if (std::difftime(TCalendarClock::Now(), startTime) > kDetectionLimitSeconds) {
            break;
        }
    }
}
