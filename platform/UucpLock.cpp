#include "platform/UucpLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/Prefix.h"

namespace platform {
namespace {

constexpr const char* kLockFolders[] = {"/run/lock", "/var/lock"};

std::string LockFolder() {
    for (const char* folder : kLockFolders) {
        struct stat info {};
        if (::stat(folder, &info) == 0 && S_ISDIR(info.st_mode)) return folder;
    }
    return "";
}

// ser2net's name: the path after "/dev/", every '/' made '_'.
std::string FlatName(std::string path) {
    if (path.rfind("/dev/", 0) == 0) path.erase(0, 5);
    std::replace(path.begin(), path.end(), '/', '_');
    return path;
}

std::string LastPart(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The pid a lock file holds: ten characters of ASCII (HDB), or a binary int (old UUCP); 0 when it
// holds neither.
pid_t LockOwner(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {};
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got == static_cast<ssize_t>(sizeof(int)) && (text[0] < ' ' || text[3] < ' ')) {
        int binary = 0;
        std::copy(text, text + sizeof binary, reinterpret_cast<char*>(&binary));
        return binary > 0 ? binary : 0;
    }
    const long pid = std::strtol(text, nullptr, 10);
    return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

bool Alive(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// Creates the file with this process's pid; false when it exists (or appeared meanwhile).
enum class Created { Yes, Exists, Refused };
Created CreateLockFile(const std::string& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return errno == EEXIST ? Created::Exists : Created::Refused;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    const bool written = ::write(fd, text, static_cast<size_t>(length)) == length;
    ::fchmod(fd, 0644);  // readable by every program that checks it, whatever the umask
    ::close(fd);
    if (!written) {
        ::unlink(file.c_str());
        return Created::Refused;
    }
    return Created::Yes;
}

// The files held, for removal from a signal handler: fixed buffers, claimed and given back with
// atomics, owned by the process that took them (a forked child's copy is not its own).
constexpr size_t kHeldFiles = 16;
struct HeldFile {
    std::atomic<int> state{0};  // 0 free, 1 being written, 2 held
    pid_t owner = 0;
    char path[PATH_MAX] = {};
};
HeldFile heldFiles[kHeldFiles];

bool StillOurs(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    char text[32] = {};
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    long pid = 0;
    for (ssize_t i = 0; i < got; ++i) {
        if (text[i] >= '0' && text[i] <= '9')
            pid = pid * 10 + (text[i] - '0');
        else if (text[i] != ' ')
            break;
    }
    return pid == ::getpid();
}

void Remember(const std::string& file) {
    static bool atExit = false;
    if (!atExit) atExit = std::atexit(RemoveHeldLockFiles) == 0;
    if (file.size() >= PATH_MAX) return;
    for (HeldFile& held : heldFiles) {
        int expected = 0;
        if (!held.state.compare_exchange_strong(expected, 1)) continue;
        held.owner = ::getpid();
        std::copy(file.begin(), file.end(), held.path);
        held.path[file.size()] = '\0';
        held.state.store(2);
        return;
    }
}

void Forget(const std::string& file) {
    for (HeldFile& held : heldFiles) {
        if (held.state.load() == 2 && file == held.path) held.state.store(0);
    }
}

}  // namespace

void RemoveHeldLockFiles() {
    const pid_t self = ::getpid();
    for (HeldFile& held : heldFiles) {
        int expected = 2;
        if (!held.state.compare_exchange_strong(expected, 1)) continue;
        if (held.owner == self && StillOurs(held.path)) ::unlink(held.path);
        held.state.store(0);
    }
}

std::vector<std::string> UucpLockPaths(const std::string& path) {
    const std::string folder = LockFolder();
    if (folder.empty() || path.empty()) return {};
    const std::string real = ResolvedPath(path);
    std::vector<std::string> names = {FlatName(path), FlatName(real), LastPart(real)};
    std::vector<std::string> paths;
    for (const std::string& name : names) {
        const std::string file = folder + "/LCK.." + name;
        if (!name.empty() && std::find(paths.begin(), paths.end(), file) == paths.end())
            paths.push_back(file);
    }
    return paths;
}

pid_t UucpLockHolder(const std::string& path) {
    for (const std::string& file : UucpLockPaths(path)) {
        const pid_t owner = LockOwner(file);
        if (owner != ::getpid() && Alive(owner)) return owner;
    }
    return 0;
}

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
    if (this != &other) {
        Release();
        m_taken = std::move(other.m_taken);
        other.m_taken.clear();
    }
    return *this;
}

pid_t UucpLock::Take(const std::string& path) {
    Release();
    for (const std::string& file : UucpLockPaths(path)) {
        // Twice at most: a stale file is removed and the creation tried again.
        for (int attempt = 0; attempt < 2; ++attempt) {
            const Created created = CreateLockFile(file);
            if (created == Created::Yes) {
                m_taken.push_back(file);
                Remember(file);
                break;
            }
            if (created == Created::Refused) break;
            const pid_t owner = LockOwner(file);
            if (owner == ::getpid()) break;  // this process holds it already
            if (Alive(owner)) {
                Release();
                return owner;
            }
            if (::unlink(file.c_str()) != 0 && errno != ENOENT) break;
        }
    }
    return 0;
}

void UucpLock::Release() {
    for (const std::string& file : m_taken) {
        Forget(file);
        if (LockOwner(file) == ::getpid()) ::unlink(file.c_str());
    }
    m_taken.clear();
}

}  // namespace platform
