#include "Tempdir.h"

#include <fstream>
#include <iterator>
#include <random>

// A random name until one is new: create_directory tells an existing folder
// apart (and throws on any other failure), so no two objects (or processes)
// ever share one. Portable, unlike mkdtemp.
Tempdir::Tempdir() {
    std::mt19937_64 names(std::random_device{}());
    do {
        path = std::filesystem::temp_directory_path() / ("zul-test-" + std::to_string(names()));
    } while (!std::filesystem::create_directory(path));
}

Tempdir::~Tempdir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void WriteBytes(const std::string& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadBytes(const std::string& file) {
    const std::string text = ReadText(file);
    return {text.begin(), text.end()};
}

std::string ReadText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
