#pragma once
// A serial tty as a ByteDevice: exclusive (flock and TIOCEXCL), raw 115200 8N1, reads through
// poll() with a deadline, writes that finish in full or fail in bounded time.
#include <memory>
#include <string>

#include "platform/ByteDevice.h"
#include "platform/UucpLock.h"

namespace platform {

// Which step of opening a port failed; callers word their error by it.
enum class OpenFailure {
    None,
    Open,      // the device could not be opened or is held by another process
    Mask,      // the device is not a terminal (its settings cannot be read)
    State,     // line settings refused
    TimeOuts,  // read time-out settings refused
};

struct DeviceOpenResult {
    std::unique_ptr<ByteDevice> device;
    OpenFailure failure = OpenFailure::None;
    std::string errorText;   // system text ending in "\n"
    std::string devicePath;  // the device tried, when there is one
    std::string server;      // the port server tried ("HOST port PORT"), for a network port
    bool busy = false;       // another process holds the device
    std::string holder;      // who, when the system tells ("process 1234 (picocom)")
};

// Clears the exclusive flag of every port this process holds, closes them and removes their lock
// files; async-signal-safe, for a process that must end at once.
void ReleaseHeldPortsNow();

class SerialDevice final : public ByteDevice {
  public:
    static DeviceOpenResult Open(const std::string& path);

    ~SerialDevice() override;
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    bool Write(const uint8_t* data, size_t size) override;
    size_t WrittenBeforeFailure() const override { return m_written; }
    long Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) override;
    void Flush() override;
    std::string ErrorText() const override { return m_errorText; }

  private:
    SerialDevice(int fd, UucpLock lockFiles) : m_fd(fd), m_lockFiles(std::move(lockFiles)) {}
    // Waits on the current Clock's deadline for the events; 1 ready, 0 deadline, -1 failure.
    int WaitFor(short events, uint32_t timeoutMs);
    void NoteError(int error);

    int m_fd;
    UucpLock m_lockFiles;  // removed after the device is closed
    size_t m_written = 0;  // of the last Write
    std::string m_errorText;
};

}  // namespace platform
