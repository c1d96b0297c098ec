#include "board/Controller.h"

#include <cstdio>

namespace board {
namespace {

struct I2cBits {
    uint32_t stop;
    uint32_t last;
    uint32_t readPhase;  // 0 where the family has none
};

I2cBits BitsOf(Family family) {
    if (family == Family::Ostral) return {1u << 6, 1u << 7, 0};
    return {1u << 7, 1u << 9, 1u << 6};
}

}  // namespace

Controller::Controller(Family family, Bus bus, MemoryDevice* device, AuditSink audit,
                       const ChipFaults& faults)
    : m_family(family), m_bus(bus), m_device(device), m_audit(std::move(audit)), m_faults(faults) {}

void Controller::NoteByte(char direction, uint8_t byte) {
    if (!m_tracing) return;
    char text[4];
    std::snprintf(text, sizeof text, "%c%02x", direction, byte);
    m_trace.emplace_back(text);
}

void Controller::WriteControl(uint32_t value) {
    uint32_t previous = m_control;
    m_control = value;
    if (m_bus == Bus::Spi) {
        SpiControl((value & 0x100) == 0);
        return;
    }
    uint32_t stop = BitsOf(m_family).stop;
    if ((previous & stop) && !(value & stop)) {
        Note("stop");
        if (m_device) m_device->I2cStop();
        m_i2c = I2cState::Idle;
    }
}

void Controller::SpiControl(bool select) {
    if (select == m_selected) return;
    m_selected = select;
    Note(select ? "select" : "release");
    if (!m_device) return;
    if (select)
        m_device->SpiSelect();
    else
        m_device->SpiRelease();
}

uint32_t Controller::ReadStatus() {
    if (m_faults.stuckBusy) return 1;
    if (m_busyPolls == 0) return 0;
    --m_busyPolls;
    return 1;
}

void Controller::WriteTransmit(uint32_t word) {
    unsigned width = Width();
    for (unsigned i = 0; i < width; ++i) {
        auto byte = static_cast<uint8_t>(word >> (24 - 8 * i));
        if (m_bus == Bus::I2c) {
            I2cTransmit(byte);
        } else if (m_selected && m_device) {
            NoteByte('>', byte);
            m_device->SpiShift(byte);
        }
    }
    Shifted();
}

uint32_t Controller::ReadReceive() {
    unsigned width = Width();
    if (m_bus == Bus::Spi && !(m_selected && m_device)) {
        Shifted();
        return 0xFFFFFFFF;
    }
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        bool last = i + 1 == width && (m_control & BitsOf(m_family).last);
        uint8_t byte = m_bus == Bus::I2c ? I2cReceive(last) : m_device->SpiShift(0x00);
        NoteByte('<', byte);
        value |= uint32_t{byte} << (24 - 8 * i);
    }
    Shifted();
    return value;
}

void Controller::I2cTransmit(uint8_t byte) {
    if (m_i2c == I2cState::Writing) {
        NoteByte('>', byte);
        if (!m_device || !m_device->I2cWrite(byte)) {
            Note("nack");
            m_i2c = I2cState::Ignored;
        }
        return;
    }
    if (m_i2c == I2cState::Ignored) return;
    // Idle, or a read that was never ended: this byte starts a new transfer.
    bool read = byte & 1;
    uint32_t phase = BitsOf(m_family).readPhase;
    if (read && phase && !(m_control & phase)) {
        char text[80];
        std::snprintf(text, sizeof text,
                      "I2C read device byte sent without the read-phase bit (control 0x%x)", m_control);
        m_audit.Record(text);
        m_i2c = I2cState::Ignored;
        return;
    }
    Note("start");
    NoteByte('>', byte);
    bool ack = m_device && m_device->I2cStart(byte);
    if (!ack) Note("nack");
    m_i2c = !ack ? I2cState::Ignored : (read ? I2cState::Reading : I2cState::Writing);
}

uint8_t Controller::I2cReceive(bool last) {
    if (m_i2c != I2cState::Reading || !m_device) return NoDevice();
    uint32_t phase = BitsOf(m_family).readPhase;
    if (phase && !(m_control & phase)) {
        m_audit.Record("I2C data received without the read-phase bit");
        return NoDevice();
    }
    uint8_t byte = m_device->I2cRead(last);
    if (last) m_i2c = I2cState::Idle;
    return byte;
}

}  // namespace board
