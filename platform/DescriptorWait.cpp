#include "platform/DescriptorWait.h"

#include <poll.h>

#include <cerrno>

#include "platform/Clock.h"

namespace platform {

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

}  // namespace platform
