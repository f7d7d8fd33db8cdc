// The folders a simulator made itself on the way to a path, so that it can
// take back exactly those and nothing that was there before it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

class FolderTrail {
  public:
    // Makes every missing folder of `path`, remembering each one made.
    // Another simulator may remove an empty folder of the way at any time
    // (its own trail): the way is then walked again. False on failure
    // (errno says why).
    bool Make(const std::filesystem::path& path);
    // Removes the folders made, deepest first, each only while it is empty:
    // one that another simulator or the user has put something in stays.
    void Remove();

  private:
    std::vector<std::string> made;
};
