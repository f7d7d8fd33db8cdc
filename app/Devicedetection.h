// Finding the device: probe the discovered port, then the forced one, until
// one of them takes the wake-up string or the time limit has passed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "serial/Rs232class.h"
#include "serial/Serialcomportenumeration.h"

inline constexpr std::int32_t kDetectionSearching = -2;
inline constexpr std::int32_t kDetectionFound = 1;

// The run's process-wide slots: its one serial port, the discovery object
// while detection runs, and the detection state.
extern TRS232Class* serialPort;
extern TSerialCOMPortEnumeration* serialCOMPortEnumeration;
extern std::int32_t detectionState;

// 1: the port took the wake-up string and stays open; -1: closed again.
std::int32_t ProbeDevice(std::uint8_t portNumber);

// Logs the discovered port and probes until found or more than 6 s have
// passed since `startTime`; leaves detectionState at 1 or -2.
void DetectDevice(std::FILE* log, std::uint8_t forcedPort, std::time_t startTime);
