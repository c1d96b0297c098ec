#pragma once
// The seam under the serial port: a real tty, or the simulated board's debug-port firmware
// running in-process. The serial port layer never knows which.
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class ByteDevice {
  public:
    virtual ~ByteDevice() = default;

    // Sends all bytes. False when the device failed or did not take them in time;
    // ErrorText() then tells why.
    virtual bool Write(const uint8_t* data, size_t size) = 0;
    // Bytes the last Write got out before it failed; a device that takes all or nothing says 0.
    virtual size_t WrittenBeforeFailure() const { return 0; }

    // Returns at once with what is there (at most maxBytes); otherwise waits up to timeoutMs
    // (through the current Clock) for the first byte and returns 0 after the deadline.
    // Returns -1 when the device failed (gone, closed); ErrorText() then tells why.
    virtual long Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) = 0;

    // Drops whatever was received and not yet read, and whatever waits to be sent.
    virtual void Flush() = 0;

    // System text of the last failure, ending in "\n" (empty when none).
    virtual std::string ErrorText() const = 0;

    // A device whose failure ends the link for good names what it reached ("the port server HOST
    // port PORT"): a lost network connection is not a silent line to reopen. Empty for a tty.
    virtual std::string Peer() const { return ""; }
};

}  // namespace platform
