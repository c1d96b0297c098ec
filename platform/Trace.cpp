#include "platform/Trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {
namespace {

// The open trace file, kept while $TOLVAR_TRACE names the same path.
struct TraceFile {
    std::string path;
    int fd = -1;
};

TraceFile& OpenTraceFile() {
    static auto* file = new TraceFile;
    return *file;
}

int TraceDescriptor(const char* target) {
    if (std::string(target) == "-") return STDERR_FILENO;
    TraceFile& file = OpenTraceFile();
    if (file.fd >= 0 && file.path == target) return file.fd;
    if (file.fd >= 0) close(file.fd);
    file.path = target;
    // Non-blocking: a FIFO without a reader refuses the open instead of holding the run, and a full
    // one drops the line.
    file.fd = open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    return file.fd;
}

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
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
    WriteAll(fd, line);
}

}  // namespace platform
