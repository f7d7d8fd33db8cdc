// A name that one simulator at a time may use in a shared folder (a COM link,
// a USB path): held by an exclusive flock on a hidden file beside it that
// carries the holder's process number. The kernel drops the lock when its
// holder dies, however it dies, so a stale claim never blocks the next one.
#pragma once

#include <string>
#include <sys/types.h>

class NameClaim {
  public:
    enum class Outcome { Taken, HeldByOther, Failed };

    NameClaim() = default;
    ~NameClaim() { Release(); }
    NameClaim(const NameClaim&) = delete;
    NameClaim& operator=(const NameClaim&) = delete;

    // Claims `name` in `folder` (which must exist). On HeldByOther, Holder()
    // is the holder's process number (0 when it has not written it yet);
    // on Failed, errno says why.
    Outcome Take(const std::string& folder, const std::string& name);
    // Removes the claim's file while still holding it, then lets go.
    void Release();

    pid_t Holder() const { return holder; }

  private:
    int fd = -1;
    std::string path;
    pid_t holder = 0;
};
