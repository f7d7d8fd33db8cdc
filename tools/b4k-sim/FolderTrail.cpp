#include "FolderTrail.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kWalks = 20; // a way removed this often under us is not a race but a fight

} // namespace

bool FolderTrail::Make(const fs::path& path) {
    for (int walk = 0; walk < kWalks; ++walk) {
        fs::path way;
        bool removedUnderUs = false;
        for (const fs::path& part : path) {
            way /= part;
            if (::mkdir(way.c_str(), 0755) == 0) {
                made.push_back(way.string());
            } else if (errno == ENOENT) {
                removedUnderUs = true;
                break;
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (!removedUnderUs) {
            return true;
        }
    }
    return false;
}

void FolderTrail::Remove() {
    for (auto folder = made.rbegin(); folder != made.rend(); ++folder) {
        ::rmdir(folder->c_str());
    }
    made.clear();
}
