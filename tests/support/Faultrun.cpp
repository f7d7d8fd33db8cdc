#include "Faultrun.h"

#include <gtest/gtest.h>

namespace {

using Bytes = ToolBench::Bytes;

constexpr double kProbeSeconds = 1.0;  // the wake-up answer's time-out
constexpr double kWindowSeconds = 5.0; // the connect window, on a clock of whole seconds
constexpr double kPauseSeconds = 0.02; // after a malformed reply
constexpr int kAttempts = 3;

// Each command type's reply time-out, as the protocol gives it.
double TimeoutSeconds(std::uint8_t type) {
    switch (type) {
    case 7:
        return 20;
    case 9:
    case 11:
    case 14:
    case 16:
        return 4;
    default:
        return 0.1;
    }
}

} // namespace

double RunBoundSeconds(int windows, const std::vector<std::uint8_t>& waits, double heldMs) {
    double seconds = kProbeSeconds + heldMs / 1000;
    // A window closes at the end of the connect call in flight: three
    // malformed replies at most, each a time-out to read and one to flush.
    const double connectCall = kAttempts * (2 * TimeoutSeconds(1) + kPauseSeconds);
    seconds += windows * (kWindowSeconds + connectCall);
    for (const std::uint8_t type : waits) {
        seconds += TimeoutSeconds(type) + kPauseSeconds;
    }
    return 1.5 * seconds + 3;
}

void ExpectFaultRun(const ToolBench& bench, const std::vector<Bytes>& file,
                    const ProcessResult& result, const FaultRunExpectation& expected) {
    EXPECT_EQ(result.signal, 0) << "the tool was killed";
    EXPECT_EQ(result.exitStatus, expected.status & 0xFF);
    EXPECT_LE(result.seconds, expected.boundSeconds);
    const MaskedLog log = Mask(bench.Log());
    EXPECT_EQ(log.text, kHeader + kFoundCom5 + Info(kModuleType, expected.deviceType) +
                            Outcome(expected.status));
    ExpectDownloadTime(log, result);
    EXPECT_EQ(result.out, "\r\n");
    EXPECT_EQ(result.err, "");
    const int progress = expected.done == 0 ? 0 : ProgressAfter(file, expected.done - 1);
    EXPECT_EQ(bench.Read("progress.bin"),
              progress == 0 ? Bytes{} : Bytes{static_cast<std::uint8_t>(progress)});
    EXPECT_EQ(bench.Read("module.bin"), LittleEndian(expected.deviceType));
}

void ExpectFileTraffic(const B4kSimulator& sim, const std::vector<Bytes>& file,
                       const FaultRunExpectation& expected) {
    // The failing frame went out too, unless the connect failed or its type is unknown.
    const bool failedOnTheWire = expected.status < 0 && expected.status != -4 &&
                                 expected.status != -14 && expected.done < file.size();
    std::vector<Bytes> sent;
    for (std::size_t i = 0; i < expected.done + (failedOnTheWire ? 1 : 0); ++i) {
        if (LeavesHost(file[i])) {
            sent.push_back(file[i]);
        }
    }
    std::vector<Bytes> received; // attempts of one frame counted once
    for (const Bytes& frame : Received(sim)) {
        if (frame != kConnectFrame && frame != kQueryRecord &&
            (received.empty() || received.back() != frame)) {
            received.push_back(frame);
        }
    }
    EXPECT_EQ(received, sent);
}
