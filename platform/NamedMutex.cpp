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

// Retry period of a timed wait on a lock or queue held by another process.
constexpr uint32_t kRetryMs = 1;

// The lock file a name holds, and how many times this process holds the name.
struct Holding {
    int fd = -1;
    uint64_t count = 0;
};

std::map<std::string, Holding>& Holdings() {
    static auto* holdings = new std::map<std::string, Holding>;
    return *holdings;
}

// Open lock files by path, kept between holdings so that an exchange costs no open and close.
// An entry inherited through fork shares its open file (and so its lock) with the parent: the
// child opens its own.
struct OpenFile {
    int fd = -1;
    pid_t owner = 0;
};

int OpenCached(const std::string& path) {
    static auto* files = new std::map<std::string, OpenFile>;
    OpenFile& file = (*files)[path];
    if (file.fd >= 0 && file.owner == getpid()) return file.fd;
    if (file.fd >= 0) close(file.fd);
    file.fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    file.owner = getpid();
    return file.fd;
}

std::string LockBase(const std::string& name) {
    std::string file = name;
    for (char& c : file) {
        if (c == '/') c = '_';
    }
    return LocksDir() + "/" + file;
}

enum class Attempt { Taken, Busy, Impossible };

Attempt TryLock(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return Attempt::Taken;
    return errno == EWOULDBLOCK ? Attempt::Busy : Attempt::Impossible;
}

// Retries one attempt until it is no longer busy or the deadline has passed.
Attempt Retry(int fd, Clock& clock, uint32_t start, uint32_t timeoutMs) {
    for (;;) {
        const Attempt attempt = TryLock(fd);
        const uint32_t waited = clock.TickMs() - start;
        if (attempt != Attempt::Busy || waited >= timeoutMs) return attempt;
        clock.SleepMs(std::min(kRetryMs, timeoutMs - waited));
    }
}

}  // namespace

// A waiter first queues on the name's queue file, then takes the lock and leaves the queue. A
// holder that gives the lock back and wants it again queues behind the waiter, so the lock is
// handed over instead of being taken again before the waiter's next try.
bool NamedMutex::Wait(uint32_t timeoutMs) {
    Holding& holding = Holdings()[m_name];
    if (holding.count > 0) {
        ++holding.count;
        return true;
    }
    const std::string base = LockBase(m_name);
    const int queue = OpenCached(base + ".queue");
    const int lock = OpenCached(base + ".lock");
    // Without lock files there is nothing to wait for; a lock only delays, it never refuses.
    if (queue < 0 || lock < 0) return false;
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    if (Retry(queue, clock, start, timeoutMs) != Attempt::Taken) return false;
    const Attempt attempt = Retry(lock, clock, start, timeoutMs);
    flock(queue, LOCK_UN);
    if (attempt != Attempt::Taken) return false;
    holding.fd = lock;
    holding.count = 1;
    return true;
}

void NamedMutex::Release() {
    auto it = Holdings().find(m_name);
    if (it == Holdings().end() || it->second.count == 0) return;
    if (--it->second.count > 0) return;
    flock(it->second.fd, LOCK_UN);
    it->second.fd = -1;
}

}  // namespace platform
