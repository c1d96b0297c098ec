#include "board/DeviceTable.h"

#include <array>
#include <bit>

namespace board {
namespace {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;

// Flash timings are typical datasheet figures shortened where the tool's own waits would otherwise
// dominate a test run; the chip erase stays above the tool's 1 s plausibility floor.
constexpr DeviceRow Flash(std::string_view name, uint8_t id, uint8_t type, uint8_t capacity) {
    return {name,      MemoryType::SpiFlash,
            id,        type,
            capacity,  4 * kMiB,
            256,       4 * kKiB,
            64 * kKiB, 3,
            1000,      50'000,
            500'000,   1'500'000,
            0};
}

constexpr std::array kRows{
    Flash("mx25", 0xC2, 0x20, 0x16),
    Flash("amic", 0x37, 0x30, 0x16),
    Flash("spansion", 0x01, 0x02, 0x15),
    Flash("flash20", 0x20, 0x20, 0x16),
    // A flash the tool has no row for: it must refuse to touch it.
    Flash("unknown", 0xEF, 0x40, 0x16),
    DeviceRow{"spi-eeprom", MemoryType::SpiEeprom, 0, 0, 0, 64 * kKiB, 128, 0, 0, 2, 4000, 0, 0, 10'000,
              4000},
    DeviceRow{"spi-eeprom", MemoryType::SpiEeprom, 0, 0, 0, 128 * kKiB, 256, 0, 0, 3, 4000, 0, 0, 10'000,
              4000},
    DeviceRow{"i2c-eeprom", MemoryType::I2cEeprom, 0, 0, 0, 64 * kKiB, 128, 0, 0, 2, 4000, 0, 0, 0, 0},
    DeviceRow{"i2c-eeprom", MemoryType::I2cEeprom, 0, 0, 0, 128 * kKiB, 256, 0, 0, 2, 4000, 0, 0, 0, 0},
};

std::string Named(const DeviceRow& row, const std::string& text) {
    return std::string(row.name) + " (" + std::to_string(row.size / kKiB) + " KiB): " + text;
}

void CheckFlash(const DeviceRow& row, std::vector<std::string>& out) {
    if (row.jedecId == 0x00 || row.jedecId == 0xFF) out.push_back(Named(row, "id reads as no device"));
    if (!std::has_single_bit(row.sectorSize) || row.sectorSize % row.pageSize != 0)
        out.push_back(Named(row, "sector is not a power-of-two multiple of the page"));
    if (!std::has_single_bit(row.blockSize) || row.blockSize % row.sectorSize != 0 ||
        row.size % row.blockSize != 0)
        out.push_back(Named(row, "block does not tile the memory in sectors"));
    if (row.addressBytes != 3 || row.size > 16 * kMiB) out.push_back(Named(row, "needs 24-bit addressing"));
    if (row.sectorEraseUs > 3'000'000 || row.blockEraseUs > 3'000'000)
        out.push_back(Named(row, "unit erase outlasts the tool's 3 s wait"));
    if (row.chipEraseUs < 1'500'000 || row.chipEraseUs >= 33'000'000)
        out.push_back(Named(row, "chip erase outside 1.5 s .. 33 s"));
}

void CheckEeprom(const DeviceRow& row, std::vector<std::string>& out) {
    if (row.size != 64 * kKiB && row.size != 128 * kKiB)
        out.push_back(Named(row, "size is not 64 or 128 KiB"));
    if (row.type == MemoryType::SpiEeprom && row.addressBytes != (row.size > 64 * kKiB ? 3u : 2u))
        out.push_back(Named(row, "address bytes do not match the size"));
    if (row.type == MemoryType::I2cEeprom && row.addressBytes != 2)
        out.push_back(Named(row, "I2C EEPROM takes two address bytes"));
    if (row.chipEraseUs > 10'100'000) out.push_back(Named(row, "chip erase outlasts the tool's sleep"));
}

}  // namespace

std::span<const DeviceRow> DeviceTable() {
    return kRows;
}

std::optional<DeviceRow> FindDevice(std::string_view name, uint32_t size) {
    for (const DeviceRow& row : kRows) {
        if (row.name != name) continue;
        if (row.type == MemoryType::SpiFlash) {
            if (size == 0) return row;
            if (!std::has_single_bit(size) || size < 64 * kKiB || size > 16 * kMiB) return std::nullopt;
            DeviceRow sized = row;
            sized.size = size;
            if (sized.blockSize > size) sized.blockSize = size;
            return sized;
        }
        if (size == 0 || row.size == size) return row;
    }
    return std::nullopt;
}

std::vector<std::string> CheckRow(const DeviceRow& row) {
    std::vector<std::string> out;
    if (row.name.empty()) out.push_back("row without a name");
    if (!std::has_single_bit(row.size)) out.push_back(Named(row, "size is not a power of two"));
    if (!std::has_single_bit(row.pageSize) || row.pageSize > row.size)
        out.push_back(Named(row, "page is not a power of two within the memory"));
    // The tool gives every page write a fixed 5 ms before touching the memory again.
    if (row.pageProgramUs > 5000) out.push_back(Named(row, "page write outlasts the tool's 5 ms wait"));
    if (row.type == MemoryType::SpiFlash)
        CheckFlash(row, out);
    else
        CheckEeprom(row, out);
    return out;
}

std::vector<std::string> SelfTest() {
    std::vector<std::string> out;
    for (size_t i = 0; i < kRows.size(); ++i) {
        for (const std::string& problem : CheckRow(kRows[i])) out.push_back(problem);
        for (size_t j = i + 1; j < kRows.size(); ++j) {
            if (kRows[i].name == kRows[j].name && kRows[i].size == kRows[j].size)
                out.push_back(Named(kRows[i], "listed twice"));
            if (kRows[i].type == MemoryType::SpiFlash && kRows[j].type == MemoryType::SpiFlash &&
                kRows[i].jedecId == kRows[j].jedecId)
                out.push_back(Named(kRows[j], "shares its id with " + std::string(kRows[i].name)));
        }
    }
    return out;
}

}  // namespace board
