#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "platform/Clock.h"
#include "platform/Prefix.h"

namespace platform {
namespace {

// Retry period of a timed wait on a lock or queue held by another process.
constexpr uint32_t kRetryMs = 1;
// The queue file holds the count of processes waiting for the name in its first bytes.
constexpr off_t kQueueFileBytes = 64;

// This process's id, asked once and again in a forked child: an exchange costs no getpid.
pid_t& CachedPid() {
    static pid_t pid = [] {
        pthread_atfork(nullptr, nullptr, [] { CachedPid() = getpid(); });
        return getpid();
    }();
    return pid;
}

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
    if (file.fd >= 0 && file.owner == CachedPid()) return file.fd;
    if (file.fd >= 0) close(file.fd);
    file.fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    file.owner = CachedPid();
    return file.fd;
}

// The waiter count in the queue file, shared by every process that maps it; null when the file
// cannot be mapped, and then every taker goes through the queue.
uint32_t* MapWaiters(int queue) {
    struct stat info {};
    if (fstat(queue, &info) != 0) return nullptr;
    if (info.st_size < kQueueFileBytes && ftruncate(queue, kQueueFileBytes) != 0) return nullptr;
    void* page = mmap(nullptr, kQueueFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, queue, 0);
    return page == MAP_FAILED ? nullptr : static_cast<uint32_t*>(page);
}

// The open files of a name in the prefix the environment names. The prefix's checks run when a
// name is first used there; later takings of the name find its files without a system call.
struct LockFiles {
    int queue = -1;
    int lock = -1;
    uint32_t* waiters = nullptr;
};

// The environment that chooses the prefix: compared without copying it on every taking.
struct PrefixKey {
    std::string prefix;
    std::string home;
    static const char* Of(const char* variable) {
        const char* value = std::getenv(variable);
        return value ? value : "";
    }
    static PrefixKey Now() { return {Of("TOLVAR_PREFIX"), Of("HOME")}; }
    bool IsNow() const { return prefix == Of("TOLVAR_PREFIX") && home == Of("HOME"); }
};

std::string LockBase(const std::string& name) {
    std::string file = name;
    for (char& c : file) {
        if (c == '/') c = '_';
    }
    return LocksDir() + "/" + file;
}

LockFiles FilesOf(const std::string& name) {
    struct Known {
        PrefixKey prefix;
        pid_t owner = 0;
        LockFiles files;
    };
    static auto* known = new std::map<std::string, Known>;
    auto it = known->find(name);
    if (it != known->end() && it->second.owner == CachedPid() && it->second.prefix.IsNow())
        return it->second.files;
    const std::string base = LockBase(name);
    LockFiles files;
    files.queue = OpenCached(base + ".queue");
    files.lock = OpenCached(base + ".lock");
    if (files.queue < 0 || files.lock < 0) return files;
    files.waiters = MapWaiters(files.queue);
    (*known)[name] = Known{PrefixKey::Now(), CachedPid(), files};
    return files;
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

// Counts this process among the waiters of a name while it lives.
class Waiting {
  public:
    explicit Waiting(uint32_t* waiters) : m_waiters(waiters) {
        if (m_waiters) std::atomic_ref<uint32_t>(*m_waiters).fetch_add(1);
    }
    ~Waiting() {
        if (m_waiters) std::atomic_ref<uint32_t>(*m_waiters).fetch_sub(1);
    }
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

  private:
    uint32_t* m_waiters;
};

bool NobodyWaits(const LockFiles& files) {
    return files.waiters && std::atomic_ref<uint32_t>(*files.waiters).load() == 0;
}

// A waiter first counts itself and queues on the name's queue file, then takes the lock and
// leaves the queue. A taker that finds nobody waiting takes the lock at once; one that finds
// waiters queues behind them, so a holder that gives the lock back and wants it again hands it
// over instead of taking it before the waiter's next try.
bool Take(const LockFiles& files, uint32_t timeoutMs) {
    if (NobodyWaits(files) && TryLock(files.lock) == Attempt::Taken) return true;
    const Waiting waiting(files.waiters);
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    if (Retry(files.queue, clock, start, timeoutMs) != Attempt::Taken) return false;
    const Attempt attempt = Retry(files.lock, clock, start, timeoutMs);
    flock(files.queue, LOCK_UN);
    return attempt == Attempt::Taken;
}

}  // namespace

bool NamedMutex::Wait(uint32_t timeoutMs) {
    Holding& holding = Holdings()[m_name];
    if (holding.count > 0) {
        ++holding.count;
        return true;
    }
    const LockFiles files = FilesOf(m_name);
    // Without lock files there is nothing to wait for; a lock only delays, it never refuses.
    if (files.queue < 0 || files.lock < 0) return false;
    if (!Take(files, timeoutMs)) return false;
    holding.fd = files.lock;
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
