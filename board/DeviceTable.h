#pragma once
// The memory devices the board can carry, one data row each. Behaviour lives in the device classes;
// everything that differs between parts of one kind (ids, geometry, timings) lives here.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace board {

enum class MemoryType { SpiFlash, SpiEeprom, I2cEeprom };

struct DeviceRow {
    std::string_view name;  // as given to memory= (flash) or the kind name (EEPROMs)
    MemoryType type;
    uint8_t jedecId;    // manufacturer byte answered to 0x9F (flash only)
    uint8_t jedecType;  // second and third 0x9F bytes
    uint8_t jedecCapacity;
    uint32_t size;           // bytes
    uint32_t pageSize;       // program/write page; writes wrap inside it
    uint32_t sectorSize;     // 0x20 erase unit (flash only)
    uint32_t blockSize;      // 0xD8 erase unit (flash only)
    unsigned addressBytes;   // SPI address bytes (I2C always uses two plus the block bit)
    uint32_t pageProgramUs;  // busy after a page program / EEPROM page write
    uint32_t sectorEraseUs;
    uint32_t blockEraseUs;
    uint32_t chipEraseUs;
    uint32_t statusWriteUs;
};

// All rows, flash first.
std::span<const DeviceRow> DeviceTable();

// The row for a memory= name and a size (0 = the row's default). EEPROM names pick the row by
// size; flash rows take any power-of-two size from 64 KiB to 16 MiB. Empty when no row fits.
std::optional<DeviceRow> FindDevice(std::string_view name, uint32_t size);

// Consistency problems of one row (empty when sound).
std::vector<std::string> CheckRow(const DeviceRow& row);

// CheckRow over the whole table, plus duplicate names and flash ids.
std::vector<std::string> SelfTest();

}  // namespace board
