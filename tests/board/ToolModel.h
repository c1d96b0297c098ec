#pragma once
// A small model of the tool's memory primitives (controller traffic per memory kind), so the board
// is tested against the register sequences the real tool sends. Register access goes straight to a
// chip or through the debug-port firmware as "r"/"w" text; fast blocks need the port.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "board/Chip.h"
#include "platform/ByteDevice.h"
#include "platform/Clock.h"

namespace board::test {

class Access {
  public:
    virtual ~Access() = default;
    virtual uint32_t Read(uint32_t address) = 0;
    virtual void Write(uint32_t address, uint32_t value) = 0;
};

class ChipAccess final : public Access {
  public:
    explicit ChipAccess(Chip& chip) : m_chip(chip) {}
    uint32_t Read(uint32_t address) override { return m_chip.ReadRegister(address); }
    void Write(uint32_t address, uint32_t value) override { m_chip.WriteRegister(address, value); }

  private:
    Chip& m_chip;
};

class PortAccess final : public Access {
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
    uint32_t Read(uint32_t address) override {
        char text[16];
        std::snprintf(text, sizeof text, "r%08x\n", address);
        std::string answer = Exchange(text);
        EXPECT_EQ(answer.size(), 26u) << answer;
        return static_cast<uint32_t>(std::stoul(answer.substr(9, 8), nullptr, 16));
    }
    void Write(uint32_t address, uint32_t value) override {
        char text[24];
        std::snprintf(text, sizeof text, "w%08x %08x\n", address, value);
        EXPECT_EQ(Exchange(text), "\r\nReady\r\n");
    }
    std::string Block(char command, const std::vector<uint8_t>& data) {
        std::string bytes(1, command);
        bytes += static_cast<char>(data.size());
        bytes.append(data.begin(), data.end());
        return Exchange(bytes + "\r\n");
    }

  private:
    platform::ByteDevice& m_port;
};

class ToolModel {
  public:
    ToolModel(Access& access, uint32_t base, int kind, uint32_t eepromSize)
        : m_access(access), m_base(base), m_kind(kind), m_eepromSize(eepromSize) {}

    bool I2c() const { return m_kind == 2 || m_kind == 8; }
    bool Flash() const { return m_kind >= 3 && m_kind <= 5; }

    void Control(uint32_t v) { m_access.Write(m_base, v); }
    void Transmit(uint32_t v) { m_access.Write(m_base + 8, v); }
    uint32_t Receive() { return m_access.Read(m_base + 12); }
    void WaitController() {
        for (int i = 0; i < 1000 && (m_access.Read(m_base + 4) & 1); ++i) {
        }
    }
    void SendData(int n, uint32_t word) {
        if (n != m_width) {
            m_shadow = (m_shadow & ~0x30u) | (uint32_t(n - 1) << 4);
            Control(m_shadow);
            m_width = n;
        }
        Transmit(word);
    }
    uint32_t ReceiveWord() {
        if (m_width != 4) {
            m_shadow |= 0x30;
            Control(m_shadow);
            m_width = 4;
        }
        return Receive();
    }
    void Select() {
        WaitController();
        m_shadow &= ~0x100u;
        Control(m_shadow);
    }
    void Deselect() {
        WaitController();
        m_shadow |= 0x100;
        Control(m_shadow);
    }
    void I2cStop() {
        WaitController();
        m_shadow |= m_stopBit;
        Control(m_shadow);
        m_shadow &= ~m_stopBit;
        Control(m_shadow);
    }
    void WaitWriteCycle() { platform::CurrentClock().SleepUs(5000); }
    void WriteEnable() {
        Control(0x201);
        Transmit(0x06000000);
        Control(0x301);
        if (!m_negotiated) {
            Control(0x211);
            Transmit(0x01000000);
            Control(0x301);
            Control(0x231);
            Transmit(0x05000000);
            Receive();
            Control(0x301);
            Control(0x201);
            Transmit(0x06000000);
            Control(0x301);
            m_negotiated = true;
        }
    }
    void PrepareMemory() {
        if (m_kind == 1) {
            m_shadow = 0x10b;
            Control(m_shadow);
            Deselect();
        } else if (I2c()) {
            if (m_kind == 8) {
                m_stopBit = 1u << 7;
                m_lastBit = 1u << 9;
            }
            m_shadow = 0x10b;
            Control(m_shadow);
            I2cStop();
            WaitWriteCycle();
        }
    }
    uint8_t DeviceByte(uint32_t address, bool read) const {
        return static_cast<uint8_t>((address > 0xFFFF ? 0xA8 : 0xA0) | (read ? 1 : 0));
    }
    void SendAddress(uint32_t address) {
        if (m_eepromSize <= 0x10000)
            SendData(2, address << 16);
        else
            SendData(3, address << 8);
    }
    void StartWrite(uint32_t address) {
        m_shadow |= 0x30;
        Control(m_shadow);
        m_width = 4;
        if (m_kind == 1) {
            Select();
            SendData(1, 0x06000000);
            Deselect();
            Select();
            SendData(1, 0x02000000);
            SendAddress(address);
        } else if (I2c()) {
            m_shadow = 0x10b;
            Control(m_shadow);
            SendData(1, uint32_t{DeviceByte(address, false)} << 24);
            SendData(2, address << 16);
        } else {
            WriteEnable();
            Control(0x231);
            Transmit(0x02000000 | address);
        }
    }
    void WriteWord(uint32_t word) {
        if (Flash())
            Transmit(word);
        else
            SendData(4, word);
    }
    // Fast burn: the bytes go as one block command instead of WriteWord calls.
    void FlushFastBurn(PortAccess& port, const std::vector<uint8_t>& block) {
        if (m_width != 4) {
            m_shadow |= 0x30;
            Control(m_shadow);
            m_width = 4;
        }
        EXPECT_EQ(port.Block('B', block), "\r\nReady\r\n");
    }
    void EndWrite() {
        if (m_kind == 1) {
            Deselect();
            WaitWriteCycle();
        } else if (I2c()) {
            I2cStop();
            WaitWriteCycle();
        } else {
            Control(0x301);
            WaitWriteCycle();
            Control(0x201);
            Transmit(0x04000000);
            Control(0x301);
        }
    }
    void StartRead(uint32_t address, bool fast) {
        if (!I2c()) ReadWord();
        if (m_kind == 1) {
            m_shadow = 0x10b;
            Select();
            SendData(1, 0x03000000);
            SendAddress(address);
        } else if (I2c()) {
            SendData(1, uint32_t{DeviceByte(address, false)} << 24);
            SendData(2, address << 16);
            I2cStop();
            if (m_kind == 8) {
                m_shadow |= 0x40;
                Control(m_shadow);
            }
            SendData(1, uint32_t{DeviceByte(address, true)} << 24);
            m_lastMarked = false;
            if (fast) {
                m_shadow |= 0x30;
                Control(m_shadow);
            }
        } else {
            if (fast) Control(0x301);
            Control(0x231);
            Transmit(0x03000000 | address);
        }
    }
    uint32_t ReadWord() { return I2c() || m_kind == 1 ? ReceiveWord() : Receive(); }
    void MarkLast() {
        m_shadow |= m_lastBit;
        Control(m_shadow);
        m_lastMarked = true;
    }
    void EndRead() {
        if (m_kind == 1) {
            Deselect();
        } else if (I2c()) {
            if (!m_lastMarked) {
                MarkLast();
                ReceiveWord();
            }
            m_shadow &= ~m_lastBit;
            if (m_kind == 8) {
                m_shadow &= ~0x40u;
                Control(m_shadow);
            }
        } else {
            Control(0x301);
        }
    }
    // Reads count words from address, marking the last one like the tool's R command.
    std::vector<uint32_t> ReadWords(uint32_t address, size_t count) {
        std::vector<uint32_t> words;
        StartRead(address, false);
        for (size_t i = 0; i < count; ++i) {
            if (i + 1 == count && I2c()) MarkLast();
            words.push_back(ReadWord());
        }
        EndRead();
        return words;
    }

  private:
    Access& m_access;
    uint32_t m_base;
    int m_kind;
    uint32_t m_eepromSize;
    uint32_t m_shadow = 0;
    int m_width = 0;
    uint32_t m_stopBit = 1u << 6;
    uint32_t m_lastBit = 1u << 7;
    bool m_negotiated = false;
    bool m_lastMarked = false;
};

}  // namespace board::test
