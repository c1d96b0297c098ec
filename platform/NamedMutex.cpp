#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "platform/Clock.h"
#include "platform/Prefix.h"

namespace platform {
namespace {

// Retry period of a timed wait on a lock held by another process.
constexpr uint32_t kRetryMs = 5;

// One lock file and one ownership count per name, shared by every handle of that name.
struct Holding {
    int fd = -1;
    uint64_t count = 0;
};

std::map<std::string, Holding>& Holdings() {
    static auto* holdings = new std::map<std::string, Holding>;
    return *holdings;
}

std::string LockPath(const std::string& name) {
    std::string file = name;
    for (char& c : file) {
        if (c == '/') c = '_';
    }
    return LocksDir() + "/" + file + ".lock";
}

enum class Attempt { Taken, Busy, Impossible };

// One non-blocking attempt; on success `fd` holds the lock.
Attempt TryLock(const std::string& name, int& fd) {
    fd = open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return Attempt::Impossible;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return Attempt::Taken;
    int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? Attempt::Busy : Attempt::Impossible;
}

}  // namespace

bool NamedMutex::Wait(uint32_t timeoutMs) {
    Holding& holding = Holdings()[m_name];
    if (holding.count > 0) {
        ++holding.count;
        return true;
    }
    Clock& clock = CurrentClock();
    uint32_t start = clock.TickMs();
    for (;;) {
        int fd = -1;
        Attempt attempt = TryLock(m_name, fd);
        if (attempt == Attempt::Taken) {
            holding.fd = fd;
            holding.count = 1;
            return true;
        }
        // Without a lock file there is nothing to wait for; a lock only delays, it never refuses.
        if (attempt == Attempt::Impossible) return false;
        uint32_t waited = clock.TickMs() - start;
        if (waited >= timeoutMs) return false;
        clock.SleepMs(std::min(kRetryMs, timeoutMs - waited));
    }
}

void NamedMutex::Release() {
    auto it = Holdings().find(m_name);
    if (it == Holdings().end() || it->second.count == 0) return;
    if (--it->second.count > 0) return;
    flock(it->second.fd, LOCK_UN);
    close(it->second.fd);
    it->second.fd = -1;
}

}  // namespace platform
