#include "platform/PortHolder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/UucpLock.h"

namespace platform {

std::string ProcessDescription(pid_t pid) {
    std::string text = "process " + std::to_string(pid);
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (std::getline(comm, name) && !name.empty()) text += " (" + name + ")";
    return text;
}

// Lines of /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:1a:7 0 EOF"; a waiter's line has
// "->" after the number and holds nothing.
pid_t FlockHolder(const std::string& devicePath) {
    struct stat device {};
    if (::stat(devicePath.c_str(), &device) != 0) return 0;
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, advisory, mode, where;
        long pid = 0;
        if (!(fields >> number >> kind) || kind != "FLOCK") continue;
        if (!(fields >> advisory >> mode >> pid >> where)) continue;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
        if (major == ::major(device.st_dev) && minor == ::minor(device.st_dev) && inode == device.st_ino &&
            pid > 0)
            return static_cast<pid_t>(pid);
    }
    return 0;
}

pid_t DeviceHolder(const std::string& devicePath) {
    const pid_t holder = FlockHolder(devicePath);
    return holder > 0 ? holder : UucpLockHolder(devicePath);
}

}  // namespace platform
