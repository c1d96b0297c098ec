#pragma once
// Raw access to a chip for the board's own tests: its controller's four registers at the chip's
// own base (the same helper serves the source at 0x80000050 and the sink at 0x80000044), and the
// debug port's text commands. The tool's driver itself is tested against the board through
// tests/support/BoardSession.h.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "board/Chip.h"
#include "platform/ByteDevice.h"

namespace board::test {

// The debug port's commands as text: "r"/"w" register access and the fast blocks.
class PortAccess {
  public:
    explicit PortAccess(platform::ByteDevice& port) : m_port(port) {}
    std::string Exchange(const std::string& bytes) {
        m_port.Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        std::string out;
        uint8_t buffer[64];
        long n;
        while ((n = m_port.Read(buffer, sizeof buffer, 5)) > 0)
            out.append(reinterpret_cast<char*>(buffer), n);
        return out;
    }
    uint32_t Read(uint32_t address) {
        char text[16];
        std::snprintf(text, sizeof text, "r%08x\n", address);
        std::string answer = Exchange(text);
        EXPECT_EQ(answer.size(), 26u) << answer;
        return static_cast<uint32_t>(std::stoul(answer.substr(9, 8), nullptr, 16));
    }

  private:
    platform::ByteDevice& m_port;
};

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
