#pragma once
// The UUCP lock files of a serial device, as the Linux serial programs keep them: LCK..<name> in
// /run/lock (or /var/lock), holding the owner's pid in ten characters and a newline. Programs name
// a device differently (ser2net: the path after /dev/ with '/' as '_'; minicom and lockdev: the
// last part of the path), so every name the device goes by is looked at and taken.
#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

// The lock file paths of the device named by `path` (as given, and as it resolves); empty when no
// lock folder exists.
std::vector<std::string> UucpLockPaths(const std::string& path);

// A live process other than this one named by a lock file of the device; 0 when none is.
pid_t UucpLockHolder(const std::string& path);

// Removes the lock files this process holds; async-signal-safe, for a process that ends at once
// (also run at exit).
void RemoveHeldLockFiles();

class UucpLock {
  public:
    UucpLock() = default;
    ~UucpLock() { Release(); }
    UucpLock(UucpLock&& other) noexcept : m_taken(std::move(other.m_taken)) { other.m_taken.clear(); }
    UucpLock& operator=(UucpLock&& other) noexcept;
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // Takes the device's lock files. A file of a live process other than this one makes the device
    // busy: nothing is taken and the holder's pid is returned. A file whose process is gone is
    // removed and taken over. A folder this user may not write in is passed over: the other
    // locks still keep the device.
    pid_t Take(const std::string& path);
    // Removes the files taken (those that still hold this process's pid).
    void Release();

  private:
    std::vector<std::string> m_taken;
};

}  // namespace platform
