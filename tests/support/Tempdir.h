// A fresh directory under the system's temporary folder, removed with
// everything in it when the object goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class Tempdir {
  public:
    Tempdir();
    ~Tempdir();
    Tempdir(const Tempdir&) = delete;
    Tempdir& operator=(const Tempdir&) = delete;

    const std::filesystem::path& Path() const { return path; }
    std::string File(const std::string& name) const { return (path / name).string(); }

  private:
    std::filesystem::path path;
};

void WriteBytes(const std::string& file, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadBytes(const std::string& file);
std::string ReadText(const std::string& file);
