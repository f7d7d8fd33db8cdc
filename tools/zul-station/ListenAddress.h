// Where the dashboard listens: --http [ADDR:]PORT, ADDR an IPv4 or
// bracketed IPv6 literal, loopback unless asked otherwise.
#pragma once

#include <optional>
#include <string>

struct ListenAddress {
    std::string host = "127.0.0.1";
    unsigned port = 0; // 0: any free port

    // Empty when `text` is not [ADDR:]PORT.
    static std::optional<ListenAddress> Parse(const std::string& text);
    // "http://ADDR:PORT/" for `boundPort`.
    std::string Url(unsigned boundPort) const;
};
