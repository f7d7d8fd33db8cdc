// The registry on Windows: the local machine's hive, read-only, and the
// system's message table for status codes.
#include <windows.h>

#include "serial/Registry.h"

namespace {

constexpr DWORD kMessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
// Neutral: the user's default language.
constexpr DWORD kMessageLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

HKEY Win32Key(registry::Key key) {
    return reinterpret_cast<HKEY>(key);
}

} // namespace

namespace registry {

std::int32_t OpenKey(const std::string& path, Key& key) {
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &opened);
    if (status == ERROR_SUCCESS) {
        key = reinterpret_cast<Key>(opened);
    }
    return status;
}

// The value's type is neither asked for nor checked.
std::int32_t QueryValue(Key key, const std::string& name, std::uint8_t* buffer,
                        std::uint32_t& size) {
    DWORD length = size;
    const LSTATUS status =
        RegQueryValueExA(Win32Key(key), name.c_str(), nullptr, nullptr, buffer, &length);
    size = length;
    return status;
}

void CloseKey(Key key) {
    RegCloseKey(Win32Key(key));
}

std::string SystemMessage(std::int32_t code) {
    char* message = nullptr;
    // With ALLOCATE_BUFFER the buffer argument receives the address of the system's text.
    const DWORD length =
        FormatMessageA(kMessageFlags, nullptr, static_cast<DWORD>(code), kMessageLanguage,
                       reinterpret_cast<char*>(&message), 0, nullptr);
    std::string text;
    if (length != 0 && message != nullptr) {
        text.assign(message, length);
    }
    LocalFree(message);
    return text;
}

} // namespace registry
