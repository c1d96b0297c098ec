#pragma once
// A chip's debug UART as an in-process byte device. Writes reach the firmware at once; its answers
// wait in a queue. With a baud rate set, every byte takes 10 bit times on the wire in each
// direction, measured on the current Clock, so a virtual clock sees a real link's timing for free.
#include <cstdint>
#include <deque>
#include <string>

#include "board/Firmware.h"
#include "platform/ByteDevice.h"

namespace board {

struct DebugPortOptions {
    uint32_t baud = 0;  // 0: no line time at all
};

class LocalPort final : public platform::ByteDevice {
  public:
    LocalPort(Firmware& firmware, DebugPortOptions options);

    bool Write(const uint8_t* data, size_t size) override;
    long Read(uint8_t* data, size_t maxBytes, uint32_t timeoutMs) override;
    void Flush() override { m_queue.clear(); }
    std::string ErrorText() const override { return m_error; }

  private:
    struct Pending {
        uint64_t dueUs;
        uint8_t byte;
    };
    uint64_t ByteUs() const;

    Firmware& m_firmware;
    DebugPortOptions m_options;
    std::deque<Pending> m_queue;
    uint64_t m_inFreeUs = 0;   // when the host-to-chip line is free again
    uint64_t m_outFreeUs = 0;  // when the chip-to-host line is free again
    std::string m_error;
};

}  // namespace board
