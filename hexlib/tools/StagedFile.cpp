#include "StagedFile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/WholeFile.h"

namespace quillan_tool {

namespace {

std::string Reason() {
    return std::strerror(errno);
}

// Closes a descriptor on every way out.
class Descriptor {
  public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }
    bool Close() { return close(std::exchange(m_fd, -1)) == 0; }

  private:
    int m_fd;
};

std::string BaseOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// The staged file and its folder for the signal handler, as plain characters it may read.
struct Staged {
    char path[PATH_MAX + 1] = {};
    char folder[PATH_MAX + 1] = {};
    volatile sig_atomic_t armed = 0;
};
Staged g_staged;

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Removes the staged file, then lets the signal end the process as it would have.
void RemoveOnSignal(int signal) {
    if (g_staged.armed) {
        unlink(g_staged.path);
        rmdir(g_staged.folder);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
}

// Called with the signals held, so that no signal comes between the folder and its record.
void Arm(const std::string& folder, const std::string& path) {
    if (folder.size() > PATH_MAX || path.size() > PATH_MAX) return;
    std::memcpy(g_staged.folder, folder.c_str(), folder.size() + 1);
    std::memcpy(g_staged.path, path.c_str(), path.size() + 1);
    g_staged.armed = 1;
    for (const int signal : kEndingSignals) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction remove {};
        remove.sa_handler = RemoveOnSignal;
        sigemptyset(&remove.sa_mask);
        sigaction(signal, &remove, nullptr);
    }
}

std::string TemporaryFolder() {
    const char* configured = std::getenv("TMPDIR");
    return configured != nullptr && *configured == '/' ? configured : "/tmp";
}

bool WriteAll(int fd, const char* data, size_t count) {
    while (count > 0) {
        const ssize_t written = write(fd, data, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        count -= size_t(written);
    }
    return true;
}

bool CopyBytes(int from, int to) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0;
        if (!WriteAll(to, buffer.data(), size_t(got))) return false;
    }
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File OpenForReading(const std::string& path) {
    return File(std::fopen(path.c_str(), "rb"), std::fclose);
}

bool SameBytes(std::FILE* a, std::FILE* b) {
    std::vector<char> x(1 << 16), y(1 << 16);
    for (;;) {
        const size_t n = std::fread(x.data(), 1, x.size(), a);
        if (n != std::fread(y.data(), 1, y.size(), b) || std::memcmp(x.data(), y.data(), n) != 0)
            return false;
        if (n == 0) return !std::ferror(a) && !std::ferror(b);
    }
}

}  // namespace

StagedFile::StagedFile(const std::string& target, const std::string& name) : m_target(target) {
    // Refused before any work, with the reason the write would meet.
    if (const int error = platform::CheckWritable(target); error != 0) {
        throw ToolError("cannot write '" + target + "': " + std::strerror(error));
    }
    std::string pattern = TemporaryFolder() + "/.quillan-XXXXXX";
    sigset_t held, previous;
    sigemptyset(&held);
    for (const int signal : kEndingSignals) sigaddset(&held, signal);
    sigprocmask(SIG_BLOCK, &held, &previous);
    const bool made = mkdtemp(pattern.data()) != nullptr;
    const int error = errno;
    if (made) {
        m_folder = pattern;
        m_path = m_folder + "/" + BaseOf(name.empty() ? target : name);
        Arm(m_folder, m_path);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (!made) {
        throw ToolError("cannot stage '" + target + "' in " + TemporaryFolder() + ": " +
                        std::strerror(error));
    }
}

StagedFile::~StagedFile() {
    g_staged.armed = 0;
    unlink(m_path.c_str());
    rmdir(m_folder.c_str());
}

void StagedFile::CopyFrom(const std::string& source) {
    Descriptor in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (in.Get() < 0 || fstat(in.Get(), &info) != 0)
        throw ToolError("cannot read '" + source + "': " + Reason());
    if (!S_ISREG(info.st_mode)) throw ToolError("'" + source + "' is not a regular file");
    Descriptor out(open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.Get() < 0 || !CopyBytes(in.Get(), out.Get()) || !out.Close()) {
        throw ToolError("cannot copy '" + source + "': " + Reason());
    }
}

bool StagedFile::Written() const {
    struct stat info;
    return lstat(m_path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool StagedFile::SameContentsAs(const std::string& other) const {
    const File staged = OpenForReading(m_path);
    const File compared = OpenForReading(other);
    return staged && compared && SameBytes(staged.get(), compared.get());
}

void StagedFile::Commit() {
    std::string bytes;
    const File staged = OpenForReading(m_path);
    if (!staged) throw ToolError("cannot write '" + m_target + "': " + Reason());
    std::vector<char> chunk(1 << 16);
    for (size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), staged.get())) > 0;)
        bytes.append(chunk.data(), got);
    if (std::ferror(staged.get())) throw ToolError("cannot write '" + m_target + "': " + Reason());
    if (const int error = platform::WriteWholeFile(m_target, bytes); error != 0) {
        throw ToolError("cannot write '" + m_target + "': " + std::strerror(error));
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

}  // namespace quillan_tool
