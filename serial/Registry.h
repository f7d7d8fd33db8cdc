// The operating system's device registry, as port discovery needs it: open
// a key below the local machine's root for reading, read one value, close
// the key, and the system's message for a status code. One implementation
// per OS (Registry_linux.cpp answers from sysfs; Registry_win32.cpp asks
// the Windows registry); nothing above this header knows which one is built.
#pragma once

#include <cstdint>
#include <string>

namespace registry {

// Status codes as the Windows registry returns them.
inline constexpr std::int32_t kSuccess = 0;
inline constexpr std::int32_t kFileNotFound = 2;
inline constexpr std::int32_t kNotEnoughMemory = 8;
inline constexpr std::int32_t kMoreData = 234;

// An open key; meaningful only between a successful OpenKey and CloseKey.
using Key = std::intptr_t;

// Opens `path` below the local machine's root for reading.
std::int32_t OpenKey(const std::string& path, Key& key);

// Reads the value `name` into `buffer`, whose size `size` gives on entry. On
// kSuccess `size` is the count of bytes stored; on kMoreData the buffer was
// too small and `size` is the count the value needs.
std::int32_t QueryValue(Key key, const std::string& name, std::uint8_t* buffer,
                        std::uint32_t& size);

void CloseKey(Key key);

// The system's text for `code`, ending in a line break; empty when the
// system has none.
std::string SystemMessage(std::int32_t code);

} // namespace registry
