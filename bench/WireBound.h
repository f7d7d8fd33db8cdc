// What the captured traffic of one run needs at the line rate: the
// stop-and-wait bound, in which every byte sent and every reply byte takes
// its full byte time and each reply is held back by the device's delay.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "SimulatedDevice.h"

struct WireTiming {
    double byteMs = 0;       // one byte on the line; 0 when unpaced
    double replyDelayMs = 0; // the device's hold-back before each reply
};

struct WireFigures {
    std::size_t exchanges = 0;     // items sent: the wake-up and every frame
    std::size_t fileExchanges = 0; // of them, the firmware file's frames
    double wakeUpMs = 0;           // capture time of the wake-up string's last byte
    double firstFileFrameMs = 0;   // ... of the file's first frame (after the last connect)
    double lastFrameMs = 0;        // ... of the last frame
    // From the first file frame's arrival to the last frame's arrival: the
    // replies to all but the last frame and the frames after the first.
    double fileBoundMs = 0;
    // Every item and every reply of the run, the last reply included.
    double runBoundMs = 0;
};

// Empty when the capture is not that of a clean download (no wake-up, no
// connect followed by a frame, an unknown frame or stray bytes).
std::optional<WireFigures> AnalyseCapture(const std::vector<CapturedItem>& capture,
                                          const WireTiming& timing);
