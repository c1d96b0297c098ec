#include "board/SpiMemory.h"

#include <algorithm>
#include <cstdio>

namespace board {
namespace {

constexpr uint8_t kWriteStatus = 0x01, kProgram = 0x02, kRead = 0x03, kWriteDisable = 0x04,
                  kReadStatus = 0x05, kWriteEnable = 0x06, kSectorErase = 0x20, kReadId = 0x9F,
                  kChipErase = 0xC7, kChipErase2 = 0x60, kBlockErase = 0xD8;
constexpr uint8_t kProtectBits = 0x9C;  // BP0-BP2 and SRWD

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

}  // namespace

SpiMemory::SpiMemory(const DeviceRow& row, AuditSink audit, const ChipFaults& faults)
    : MemoryDevice(row, std::move(audit), faults), m_page(row.pageSize, -1) {}

uint8_t SpiMemory::Status() const {
    uint8_t protect = Faults().refuseStatusWrite ? kProtectBits : m_protect;
    return static_cast<uint8_t>(protect | (m_wel ? 0x02 : 0) | (Busy() ? 0x01 : 0));
}

void SpiMemory::SpiSelect() {
    m_selected = true;
    m_ignored = false;
    m_count = 0;
    m_address = 0;
    m_dataCount = 0;
}

uint8_t SpiMemory::SpiShift(uint8_t out) {
    if (!m_selected) return 0xFF;
    size_t index = m_count++;
    if (index == 0) {
        m_opcode = out;
        if (Busy() && out != kReadStatus) {
            m_ignored = true;
            Audit().Record("command " + Hex(out, 2) + " sent while the memory is busy");
        }
        return 0xFF;
    }
    if (m_ignored) return 0xFF;
    if (index <= AddressBytes() &&
        (m_opcode == kRead || m_opcode == kProgram || m_opcode == kSectorErase || m_opcode == kBlockErase)) {
        m_address = (m_address << 8) | out;
        if (index == AddressBytes()) m_address %= m_row.size;
        return 0xFF;
    }
    if (m_opcode == kWriteStatus && index == 1) m_statusValue = out;
    if (m_opcode == kProgram) TakeData(out);
    return ShiftOutput();
}

uint8_t SpiMemory::ShiftOutput() {
    switch (m_opcode) {
        case kReadStatus:
            return Status();
        case kRead: {
            uint8_t value = m_bytes[m_address];
            m_address = (m_address + 1) % m_row.size;
            return value;
        }
        case kReadId:
            if (!IsFlash()) return 0xFF;
            if (m_count == 2) return m_row.jedecId;
            if (m_count == 3) return m_row.jedecType;
            if (m_count == 4) return m_row.jedecCapacity;
            return 0xFF;
        default:
            return 0xFF;
    }
}

// Data of a program go to the page buffer; the address wraps inside the page like the parts do.
void SpiMemory::TakeData(uint8_t byte) {
    uint32_t page = m_row.pageSize;
    uint32_t offset = (m_address % page + m_dataCount) % page;
    if (m_dataCount == 0) std::fill(m_page.begin(), m_page.end(), -1);
    if (m_dataCount + m_address % page == page)
        Audit().Record("page program crossing a " + std::to_string(page) + "-byte page at " +
                       Hex(m_address, 6));
    m_page[offset] = byte;
    ++m_dataCount;
}

void SpiMemory::SpiRelease() {
    if (!m_selected) return;
    m_selected = false;
    if (m_count == 0 || m_ignored) return;
    Execute();
}

void SpiMemory::Execute() {
    // The parts reject a command whose CS# rise is not at the expected byte count.
    auto exact = [&](size_t want) {
        if (m_count == want) return true;
        Audit().Record("command " + Hex(m_opcode, 2) + " released after " + std::to_string(m_count) +
                       " byte(s), rejected");
        return false;
    };
    size_t withAddress = 1 + AddressBytes();
    switch (m_opcode) {
        case kWriteEnable:
            if (exact(1)) m_wel = true;
            break;
        case kWriteDisable:
            if (exact(1)) m_wel = false;
            break;
        case kWriteStatus:
            if (m_count >= 2) WriteStatus();
            break;
        case kProgram:
            if (m_count > withAddress) Program();
            break;
        case kSectorErase:
            if (IsFlash() && exact(withAddress)) Erase(m_row.sectorSize, m_row.sectorEraseUs, "sector erase");
            break;
        case kBlockErase:
            if (IsFlash() && exact(withAddress)) Erase(m_row.blockSize, m_row.blockEraseUs, "block erase");
            break;
        case kChipErase:
        case kChipErase2:
            if (exact(1)) {
                m_address = 0;
                Erase(m_row.size, m_row.chipEraseUs, "chip erase");
            }
            break;
        default:
            break;
    }
}

bool SpiMemory::MayChange(const char* what) {
    if (!m_wel) {
        Audit().Record(std::string(what) + " without write enable" + Where());
        return false;
    }
    m_wel = false;
    if ((Status() & 0x1C) != 0) {
        Audit().Record(std::string(what) + " refused: memory is write protected (status " + Hex(Status(), 2) +
                       ")");
        return false;
    }
    return true;
}

std::string SpiMemory::Where() const {
    if (m_opcode == kWriteStatus || m_opcode == kChipErase || m_opcode == kChipErase2) return {};
    return " at " + Hex(m_address, 6);
}

void SpiMemory::Program() {
    if (!MayChange("page program")) return;
    uint32_t base = m_address - m_address % m_row.pageSize;
    for (uint32_t i = 0; i < m_row.pageSize; ++i) {
        if (m_page[i] < 0) continue;
        uint8_t data = static_cast<uint8_t>(m_page[i]);
        // Flash cells only go from 1 to 0; an EEPROM takes the byte as it is.
        m_bytes[base + i] = IsFlash() ? (m_bytes[base + i] & data) : data;
    }
    StartBusy(m_row.pageProgramUs);
}

void SpiMemory::Erase(uint32_t unit, uint64_t busyUs, const char* what) {
    if (!MayChange(what)) return;
    uint32_t start = m_address - m_address % unit;
    std::fill(m_bytes.begin() + start, m_bytes.begin() + start + unit, 0xFF);
    StartEraseBusy(busyUs);
}

void SpiMemory::WriteStatus() {
    if (!m_wel) {
        Audit().Record("status write without write enable");
        return;
    }
    m_wel = false;
    if (!Faults().refuseStatusWrite) m_protect = m_statusValue & kProtectBits;
    StartBusy(m_row.statusWriteUs);
}

std::string SpiMemory::OpenTransfer() const {
    if (!m_selected) return {};
    return "memory left selected (command " + Hex(m_opcode, 2) + ", " + std::to_string(m_count) +
           " byte(s) shifted)";
}

}  // namespace board
