#include "board/I2cEeprom.h"

#include <algorithm>
#include <cstdio>

namespace board {

I2cEeprom::I2cEeprom(const DeviceRow& row, AuditSink audit, const ChipFaults& faults)
    : MemoryDevice(row, std::move(audit), faults), m_page(row.pageSize, -1) {}

// The 64 KiB part answers 0xA0/0xA1 only; the 128 KiB part also 0xA8/0xA9 for its upper half.
bool I2cEeprom::Addressed(uint8_t deviceByte) const {
    if ((deviceByte & 0xF0) != 0xA0) return false;
    uint8_t pins = m_row.size > 0x10000 ? 0x06 : 0x0E;
    return (deviceByte & pins) == 0;
}

bool I2cEeprom::I2cStart(uint8_t deviceByte) {
    if (m_readOpen) {
        Audit().Record("new I2C transfer while a read is not ended by a marked last byte");
        m_readOpen = false;
    }
    m_state = State::Idle;
    if (!Addressed(deviceByte)) return false;
    if (Busy()) {
        char text[80];
        std::snprintf(text, sizeof text,
                      "I2C access (device byte 0x%02x) while the EEPROM is in its write cycle", deviceByte);
        Audit().Record(text);
        return false;
    }
    m_block = m_row.size > 0x10000 ? (deviceByte >> 3) & 1 : 0;
    if (deviceByte & 1) {
        m_pointer = (m_block << 16) | (m_pointer & 0xFFFF);
        m_state = State::Reading;
        m_readOpen = true;
    } else {
        m_state = State::AddressHigh;
    }
    return true;
}

bool I2cEeprom::I2cWrite(uint8_t byte) {
    switch (m_state) {
        case State::AddressHigh:
            m_addressHigh = byte;
            m_state = State::AddressLow;
            return true;
        case State::AddressLow:
            m_pointer = (m_block << 16) | (uint32_t{m_addressHigh} << 8) | byte;
            m_pointer %= m_row.size;
            std::fill(m_page.begin(), m_page.end(), -1);
            m_pageTouched = false;
            m_writeStart = m_pointer % m_row.pageSize;
            m_writeCount = 0;
            m_state = State::Writing;
            return true;
        case State::Writing: {
            // The pointer wraps inside the page, as the part's page latch does.
            uint32_t page = m_row.pageSize;
            if (m_writeStart + m_writeCount == page) {
                char text[80];
                std::snprintf(text, sizeof text, "I2C page write wrapping round its %u-byte page at 0x%05x",
                              page, m_pointer);
                Audit().Record(text);
            }
            ++m_writeCount;
            m_page[m_pointer % page] = byte;
            m_pageTouched = true;
            m_pointer = (m_pointer - m_pointer % page) + (m_pointer + 1) % page;
            return true;
        }
        default:
            return false;
    }
}

uint8_t I2cEeprom::I2cRead(bool last) {
    if (m_state != State::Reading) return 0xFF;
    uint8_t value = m_bytes[m_pointer];
    m_pointer = (m_pointer + 1) % m_row.size;
    if (last) {
        m_state = State::Idle;
        m_readOpen = false;
    }
    return value;
}

void I2cEeprom::I2cStop() {
    if (m_state == State::Writing && m_pageTouched) Commit();
    m_state = State::Idle;
}

void I2cEeprom::Commit() {
    uint32_t base = m_pointer - m_pointer % m_row.pageSize;
    for (uint32_t i = 0; i < m_row.pageSize; ++i)
        if (m_page[i] >= 0) m_bytes[base + i] = static_cast<uint8_t>(m_page[i]);
    m_pageTouched = false;
    StartBusy(m_row.pageProgramUs);
}

std::string I2cEeprom::OpenTransfer() const {
    if (m_readOpen) return "I2C read not ended by a marked last byte";
    if (m_state == State::Writing && m_pageTouched) return "I2C write never ended by a stop";
    return {};
}

}  // namespace board
