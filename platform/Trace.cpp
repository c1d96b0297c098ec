#include "platform/Trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/SystemError.h"

namespace platform {
namespace {

// The open trace file, kept while $TOLVAR_TRACE names the same path. A target that cannot be
// written is reported once and then dropped.
struct TraceFile {
    std::string path;
    int fd = -1;
};

TraceFile& OpenTraceFile() {
    static auto* file = new TraceFile;
    return *file;
}

void Warn(TraceFile& file, int error) {
    if (file.fd >= 0 && file.fd != STDERR_FILENO) close(file.fd);
    file.fd = -1;
    const std::string text =
        "Warning: the trace cannot be written to " + file.path + ": " + SystemErrorText(error);
    (void)!write(STDERR_FILENO, text.data(), text.size());
}

// The descriptor for the target, -1 when it cannot be written.
int TraceDescriptor(const char* target) {
    TraceFile& file = OpenTraceFile();
    if (file.path == target) return file.fd;
    if (file.fd >= 0 && file.fd != STDERR_FILENO) close(file.fd);
    file = TraceFile{target};
    if (file.path == "-") return file.fd = STDERR_FILENO;
    // Non-blocking: a FIFO without a reader refuses the open instead of holding the run, and a full
    // one drops the line.
    file.fd = open(target, O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0600);
    if (file.fd < 0) Warn(file, errno);
    return file.fd;
}

// 0 when all was written, the error otherwise.
int WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

bool TraceEnabled() {
    const char* target = std::getenv("TOLVAR_TRACE");
    return target && *target;
}

void Trace(const std::string& message) {
    const char* target = std::getenv("TOLVAR_TRACE");
    if (!target || !*target) return;
    int fd = TraceDescriptor(target);
    if (fd < 0) return;
    std::string line = message;
    if (line.empty() || line.back() != '\n') line += '\n';
    const int error = WriteAll(fd, line);
    // Standard error that cannot be written has nowhere to say so.
    if (error != 0 && fd != STDERR_FILENO) Warn(OpenTraceFile(), error);
}

}  // namespace platform
