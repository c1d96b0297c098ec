#include "platform/WholeFile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>

namespace platform {
namespace {

// How a name is written.
enum class Way {
    Replace,  // a regular file, or none yet: a new file renamed into place
    Through,  // a link or a node: opened and written as it stands
    Output,   // "-": standard output
};

struct Target {
    Way way = Way::Replace;
    bool exists = false;
    struct stat info {};  // of the existing file (of what a link leads to, for Through)
};

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Whether a new file can be made in the name's folder, and renamed over the old one when there is
// one (a sticky folder lets only the owner of a file, or of the folder, replace it).
int FolderTakes(const std::string& path, const Target& target) {
    const std::string folder = FolderOf(path);
    const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (BaseOf(path).empty()) return EISDIR;
    if (BaseOf(path).size() > static_cast<size_t>(longest > 0 ? longest : NAME_MAX)) return ENAMETOOLONG;
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return errno;
    if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return errno;
    const uid_t self = ::geteuid();
    if (target.exists && (info.st_mode & S_ISVTX) != 0 && self != 0 && target.info.st_uid != self &&
        info.st_uid != self)
        return EPERM;
    return 0;
}

// Whether the node a link or a special name leads to can be written through the name. Opening a
// FIFO would meet its reader, so a FIFO is only asked about.
int NodeTakes(const std::string& path, const struct stat& node) {
    if (S_ISDIR(node.st_mode)) return EISDIR;
    if (S_ISSOCK(node.st_mode)) return ENXIO;
    if (S_ISFIFO(node.st_mode)) return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : errno;
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

// A link in a sticky world-writable folder that belongs neither to this user nor to the folder's
// owner: another user may have planted it. The kernel refuses to follow it where
// fs.protected_symlinks is on; the same rule holds here where it is off.
bool PlantedByOther(const std::string& path, const struct stat& link) {
    struct stat folder {};
    if (::stat(FolderOf(path).c_str(), &folder) != 0) return false;
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return shared && link.st_uid != ::geteuid() && link.st_uid != folder.st_uid;
}

int Inspect(const std::string& path, Target& target) {
    if (path == "-") {
        target.way = Way::Output;
        return 0;
    }
    if (path.empty()) return ENOENT;
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0) {
        if (errno != ENOENT) return errno;
        return FolderTakes(path, target);
    }
    target.exists = true;
    if (S_ISREG(entry.st_mode)) {
        target.info = entry;
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return errno;
        return FolderTakes(path, target);
    }
    target.way = Way::Through;
    if (S_ISLNK(entry.st_mode) && PlantedByOther(path, entry)) return EACCES;
    // A link that leads nowhere or round in a loop fails here (ENOENT, ELOOP).
    if (::stat(path.c_str(), &target.info) != 0) return errno;
    return NodeTakes(path, target.info);
}

// 0 when the descriptor closed well; close's error otherwise.
int Close(int fd) {
    return ::close(fd) == 0 ? 0 : errno;
}

int WriteThrough(const std::string& path, const Target& target, const ContentWriter& writeContent) {
    const bool regular = S_ISREG(target.info.st_mode);
    // A FIFO without a reader fails at once (ENXIO) instead of waiting for one forever.
    int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (regular ? O_TRUNC : 0);
    if (S_ISFIFO(target.info.st_mode)) flags |= O_NONBLOCK;
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) return errno;
    if ((flags & O_NONBLOCK) != 0) (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int error = writeContent(fd);
    if (error == 0 && regular && ::fsync(fd) != 0) error = errno;
    const int closed = Close(fd);
    return error != 0 ? error : closed;
}

// The old file's owner, group and mode on the new one. Ownership is kept where the process may
// set it (root; the group for a member of it); the mode after, since a change of owner clears
// the set-id bits.
void TakeOver(int fd, const Target& target) {
    if (!target.exists) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        (void)::fchmod(fd, 0666 & ~mask);
        return;
    }
    if (::fchown(fd, target.info.st_uid, target.info.st_gid) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), target.info.st_gid);
    (void)::fchmod(fd, target.info.st_mode & 07777);
}

int Replace(const std::string& path, const Target& target, const ContentWriter& writeContent) {
    // Private (0600, made new) while it is written; a name of its own, so that a long target
    // name never becomes too long with it.
    std::string temporary = FolderOf(path) + "/.tolvar-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    int error = writeContent(fd);
    if (error == 0) TakeOver(fd, target);
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    const int closed = Close(fd);
    if (error == 0) error = closed;
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temporary.c_str());
    return error;
}

// Signals that would end the process wait while the file is written and put in place.
class HeldSignals {
  public:
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, signal);
        ::sigprocmask(SIG_BLOCK, &held, &m_previous);
    }
    ~HeldSignals() { ::sigprocmask(SIG_SETMASK, &m_previous, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

  private:
    sigset_t m_previous;
};

}  // namespace

int WriteAll(int fd, const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, at, size);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return errno;
        if (written == 0) return EIO;
        at += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

int CheckWritable(const std::string& path) {
    Target target;
    return Inspect(path, target);
}

int WriteWholeFile(const std::string& path, const ContentWriter& writeContent) {
    Target target;
    if (const int refused = Inspect(path, target); refused != 0) return refused;
    if (target.way == Way::Output) return writeContent(STDOUT_FILENO);
    // A FIFO's reader may take its time: only files wait for their signals.
    std::optional<HeldSignals> held;
    if (target.way == Way::Replace || S_ISREG(target.info.st_mode)) held.emplace();
    if (target.way == Way::Through) return WriteThrough(path, target, writeContent);
    return Replace(path, target, writeContent);
}

int WriteWholeFile(const std::string& path, const void* data, size_t size) {
    return WriteWholeFile(path, [&](int fd) { return WriteAll(fd, data, size); });
}

}  // namespace platform
