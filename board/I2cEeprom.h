#pragma once
// I2C EEPROM (64 or 128 KiB): device byte 0xA0/0xA1, bit 3 of it selects the upper 64 KiB of the
// 128 KiB part; 16-bit address; page writes committed at the stop; no acknowledge while the write
// cycle runs; sequential reads until a byte is received as the last (not acknowledged).
#include <cstdint>
#include <string>
#include <vector>

#include "board/MemoryDevice.h"

namespace board {

class I2cEeprom final : public MemoryDevice {
  public:
    I2cEeprom(const DeviceRow& row, AuditSink audit, const ChipFaults& faults);

    bool I2cStart(uint8_t deviceByte) override;
    bool I2cWrite(uint8_t byte) override;
    uint8_t I2cRead(bool last) override;
    void I2cStop() override;
    std::string OpenTransfer() const override;

  private:
    enum class State { Idle, AddressHigh, AddressLow, Writing, Reading };
    bool Addressed(uint8_t deviceByte) const;
    void Commit();

    State m_state = State::Idle;
    bool m_readOpen = false;  // a read whose last byte was not yet marked
    uint32_t m_block = 0;     // upper 64 KiB selected by the device byte
    uint32_t m_pointer = 0;
    uint8_t m_addressHigh = 0;
    std::vector<int> m_page;  // page buffer of a write, -1 = untouched
    bool m_pageTouched = false;
    uint32_t m_writeStart = 0;  // page offset where the write began
    uint32_t m_writeCount = 0;  // bytes written since
};

}  // namespace board
