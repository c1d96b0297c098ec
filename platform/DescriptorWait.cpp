#include "platform/DescriptorWait.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Clock.h"

namespace platform {
namespace {

constexpr uint32_t kWriteMsPerByte = 20;
constexpr uint32_t kWriteConstantMs = 100;

}  // namespace

int WaitForDescriptor(int fd, short events, uint32_t timeoutMs, int& error) {
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    uint32_t elapsed = 0;
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(timeoutMs - elapsed));
        if (ready > 0) {
            if ((entry.revents & events) != 0) return 1;
            error = EIO;
            return -1;
        }
        if (ready < 0 && errno != EINTR) {
            error = errno;
            return -1;
        }
        elapsed = clock.TickMs() - start;
        if (elapsed >= timeoutMs) return 0;
        if (ready == 0) {
            // The system waited the whole time; a clock of its own (a test's) catches up here.
            clock.SleepMs(timeoutMs - elapsed);
            return 0;
        }
    }
}

int WriteWithinLimit(int fd, const uint8_t* data, size_t size, bool socket, size_t& done) {
    Clock& clock = CurrentClock();
    const uint32_t start = clock.TickMs();
    const uint32_t limit = kWriteConstantMs + kWriteMsPerByte * static_cast<uint32_t>(size);
    done = 0;
    while (done < size) {
        const ssize_t count = socket ? ::send(fd, data + done, size - done, MSG_NOSIGNAL)
                                     : ::write(fd, data + done, size - done);
        if (count > 0) {
            done += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EINTR) return errno;
        const uint32_t elapsed = clock.TickMs() - start;
        int error = 0;
        const int waited = elapsed < limit ? WaitForDescriptor(fd, POLLOUT, limit - elapsed, error) : 0;
        if (waited < 0) return error;
        if (waited == 0) return ETIMEDOUT;
    }
    return 0;
}

}  // namespace platform
