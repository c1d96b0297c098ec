#pragma once
// Waiting for a descriptor (a tty, a socket) on the current Clock's deadline, and writing to one in
// bounded time.
#include <cstddef>
#include <cstdint>

namespace platform {

// 1 when one of the events came, 0 at the deadline, -1 on failure (error then holds errno; a
// hang-up or error condition without the events gives EIO).
int WaitForDescriptor(int fd, short events, uint32_t timeoutMs, int& error);

// Writes all bytes (a socket with send, without SIGPIPE), waiting for room as long as 100 ms plus
// 20 ms a byte allow; `done` counts the bytes that went. 0 when all went, else the errno
// (ETIMEDOUT at the limit).
int WriteWithinLimit(int fd, const uint8_t* data, size_t size, bool socket, size_t& done);

}  // namespace platform
