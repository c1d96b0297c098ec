#pragma once
// SPI NOR flash and SPI EEPROM: one transaction per select..release. Reads and status answer while
// selected; commands that change the memory act at release, as the parts latch them on CS# high.
#include <cstdint>
#include <string>
#include <vector>

#include "board/MemoryDevice.h"

namespace board {

class SpiMemory final : public MemoryDevice {
  public:
    SpiMemory(const DeviceRow& row, AuditSink audit, const ChipFaults& faults);

    void SpiSelect() override;
    uint8_t SpiShift(uint8_t out) override;
    void SpiRelease() override;
    std::string OpenTransfer() const override;

    // Status register as a 0x05 read shows it (WIP, WEL and the protect bits).
    uint8_t Status() const;
    bool WriteEnabled() const { return m_wel; }

  private:
    bool IsFlash() const { return m_row.type == MemoryType::SpiFlash; }
    unsigned AddressBytes() const { return m_row.addressBytes; }
    uint8_t ShiftOutput();
    void TakeData(uint8_t byte);
    void Execute();
    bool MayChange(const char* what);
    void Program();
    void Erase(uint32_t unit, uint64_t busyUs, const char* what);
    void WriteStatus();
    std::string Where() const;

    bool m_selected = false;
    bool m_ignored = false;  // the command came while busy
    uint8_t m_opcode = 0;
    size_t m_count = 0;  // bytes shifted in this transaction
    uint32_t m_address = 0;
    uint8_t m_statusValue = 0;
    size_t m_dataCount = 0;
    std::vector<int> m_page;  // page buffer of a program, -1 = untouched
    bool m_wel = false;
    uint8_t m_protect = 0;  // non-volatile status bits (block protect, SRWD)
};

}  // namespace board
