#include "ListenAddress.h"

#include <arpa/inet.h>
#include <charconv>

namespace {

constexpr unsigned kHighestPort = 65535;

bool IsAddress(const std::string& host) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1 ||
           inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

} // namespace

std::optional<ListenAddress> ListenAddress::Parse(const std::string& text) {
    ListenAddress address;
    const std::size_t colon = text.rfind(':');
    std::string port = text;
    if (colon != std::string::npos) {
        address.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']') {
            address.host = address.host.substr(1, address.host.size() - 2);
            if (address.host.find(':') == std::string::npos) {
                return std::nullopt;
            }
        } else if (address.host.find(':') != std::string::npos) {
            return std::nullopt; // an IPv6 address needs its brackets
        }
    }
    const char* end = port.data() + port.size();
    const auto [stop, failure] = std::from_chars(port.data(), end, address.port);
    if (port.empty() || failure != std::errc{} || stop != end || address.port > kHighestPort ||
        !IsAddress(address.host)) {
        return std::nullopt;
    }
    return address;
}

std::string ListenAddress::Url(unsigned boundPort) const {
    const bool v6 = host.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(boundPort) + "/";
}
