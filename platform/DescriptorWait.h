#pragma once
// Waiting for a descriptor (a tty, a socket) on the current Clock's deadline.
#include <cstdint>

namespace platform {

// 1 when one of the events came, 0 at the deadline, -1 on failure (error then holds errno; a
// hang-up or error condition without the events gives EIO).
int WaitForDescriptor(int fd, short events, uint32_t timeoutMs, int& error);

}  // namespace platform
