#include "StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

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

// The folder part of a path: "." without one, "" for the root folder.
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
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
    std::string pattern = FolderOf(target) + "/.quillan-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw ToolError("cannot write beside '" + target + "': " + Reason());
    }
    m_folder = pattern;
    m_path = m_folder + "/" + BaseOf(name.empty() ? target : name);
}

StagedFile::~StagedFile() {
    unlink(m_path.c_str());
    rmdir(m_folder.c_str());
}

void StagedFile::CopyFrom(const std::string& source) {
    Descriptor in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (in.Get() < 0 || fstat(in.Get(), &info) != 0)
        throw ToolError("cannot read '" + source + "': " + Reason());
    if (!S_ISREG(info.st_mode)) throw ToolError("'" + source + "' is not a regular file");
    // Writable for the library while staged; the source's permissions come back at Commit.
    Descriptor out(open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.Get() < 0 || !CopyBytes(in.Get(), out.Get()) || !out.Close()) {
        throw ToolError("cannot copy '" + source + "': " + Reason());
    }
    m_mode = info.st_mode & 07777;
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
    Descriptor staged(open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
    // On disk before the rename, so that a crash leaves the old file or the new one, not an empty one.
    const bool stored = staged.Get() >= 0 && (!m_mode || fchmod(staged.Get(), *m_mode) == 0) &&
                        fsync(staged.Get()) == 0 && staged.Close();
    if (!stored) throw ToolError("cannot write '" + m_target + "': " + Reason());
    if (std::rename(m_path.c_str(), m_target.c_str()) != 0) {
        throw ToolError("cannot replace '" + m_target + "': " + Reason());
    }
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::string RealPath(const std::string& name) {
    const std::unique_ptr<char, void (*)(void*)> resolved(realpath(name.c_str(), nullptr), std::free);
    if (!resolved) throw ToolError("cannot read '" + name + "': " + Reason());
    return resolved.get();
}

}  // namespace quillan_tool
