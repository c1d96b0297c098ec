#pragma once
// Who holds a serial device, as far as the system tells: the process behind an flock on it, or
// the process named by its lock file. Only for messages: nothing decides by it.
#include <sys/types.h>

#include <string>

namespace platform {

// "process 1234 (picocom)"; "process 1234" when its name cannot be read.
std::string ProcessDescription(pid_t pid);

// The process holding an flock on the device, from /proc/locks; 0 when none is listed.
pid_t FlockHolder(const std::string& devicePath);

// The process holding the device by an flock or by a lock file; 0 when none does.
pid_t DeviceHolder(const std::string& devicePath);

}  // namespace platform
