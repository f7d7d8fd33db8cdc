#include "Sha256.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <nettle/sha2.h>

std::string Sha256::OfFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    sha256_ctx context;
    sha256_init(&context);
    std::array<char, 65536> chunk;
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        sha256_update(&context, static_cast<std::size_t>(in.gcount()),
                      reinterpret_cast<const std::uint8_t*>(chunk.data()));
    }
    if (in.bad()) {
        return {};
    }
    std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest;
    sha256_digest(&context, digest.size(), digest.data());
    std::string hex;
    for (const std::uint8_t byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}
