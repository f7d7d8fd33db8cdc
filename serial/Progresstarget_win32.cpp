#include <cstdio>
#include <filesystem>

#include "serial/Progresstarget.h"

namespace {

bool WriteByte(const std::string& path, std::uint8_t progress) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(&progress, 1, 1, file) == 1;
    return std::fclose(file) == 0 && written;
}

} // namespace

bool CreateProgressFile(const std::string& name) {
    std::FILE* file = std::fopen(name.c_str(), "wb");
    return file != nullptr && std::fclose(file) == 0;
}

// Device names such as NUL are not regular files and are written in place.
ProgressTarget FindProgressTarget(const std::string& name) {
    std::error_code failure;
    return {name, std::filesystem::is_regular_file(name, failure)};
}

// An existing neighbour of that name is the user's and is left alone.
bool ReplaceProgressFile(const ProgressTarget& target, std::uint8_t progress) {
    const std::string neighbour = target.path + ".tmp";
    std::error_code failure;
    if (std::filesystem::exists(neighbour, failure) || failure) {
        return false;
    }
    if (WriteByte(neighbour, progress)) {
        std::filesystem::rename(neighbour, target.path, failure);
        if (!failure) {
            return true;
        }
    }
    std::filesystem::remove(neighbour, failure);
    return false;
}

void WriteProgressInPlace(const std::string& path, std::uint8_t progress) {
    WriteByte(path, progress);
}
