#pragma once
// Drives a chip's controller the way the tool does: through its four registers at the chip's
// own base, so the same helper serves the source (0x80000050) and the sink (0x80000044).
#include <cstdint>
#include <string>
#include <vector>

#include "board/Chip.h"

namespace board::test {

class Registers {
  public:
    explicit Registers(Chip& chip) : m_chip(chip), m_base(chip.ControllerBase()) {}
    void Control(uint32_t v) { m_chip.WriteRegister(m_base, v); }
    uint32_t Status() { return m_chip.ReadRegister(m_base + 4); }
    void Transmit(uint32_t v) { m_chip.WriteRegister(m_base + 8, v); }
    uint32_t Receive() { return m_chip.ReadRegister(m_base + 12); }

    // A whole command-mode command: select with width, shift the word, release.
    void Command(uint32_t control, uint32_t word) {
        Control(control);
        Transmit(word);
        Control(0x301);
    }
    void WriteEnable() { Command(0x201, 0x06000000); }
    uint8_t FlashStatus() {
        Control(0x231);
        Transmit(0x05000000);
        uint32_t v = Receive();
        Control(0x301);
        return static_cast<uint8_t>(v >> 24);
    }

  private:
    Chip& m_chip;
    uint32_t m_base;
};

inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
    return {bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + count)};
}

}  // namespace board::test
