#include "board/Chip.h"

#include <stdexcept>

#include "board/I2cEeprom.h"
#include "board/SpiMemory.h"

namespace board {
namespace {

std::unique_ptr<MemoryDevice> MakeMemory(const ChipConfig& config, const AuditSink& audit,
                                         const ChipFaults& faults) {
    if (config.memory == "none") return nullptr;
    auto row = FindDevice(config.memory, config.size);
    if (!row)
        throw std::invalid_argument("no memory " + config.memory + " of size " + std::to_string(config.size));
    if (row->type == MemoryType::I2cEeprom) return std::make_unique<I2cEeprom>(*row, audit, faults);
    return std::make_unique<SpiMemory>(*row, audit, faults);
}

}  // namespace

Chip::Chip(const ChipConfig& config, Audit& audit)
    : m_config(config),
      m_audit(audit, config.side == Side::Source ? "source" : "sink"),
      m_memory(MakeMemory(config, m_audit, m_faults)) {
    // The strap register decides the bus the controller speaks.
    Bus bus = (m_config.Straps() & 0x10) ? Bus::I2c : Bus::Spi;
    m_controller = std::make_unique<Controller>(m_config.family, bus, m_memory.get(), m_audit, m_faults);
    m_controller->SetBusyPolls(m_config.busyPolls);
}

bool Chip::IsIndirect(uint32_t address) {
    return (address >= 0x3F000000 && address <= 0x5FFFFFFF) ||
           (address >= 0x85000000 && address <= 0x8FFFFFFF);
}

MailboxAddresses Chip::Mailbox() const {
    bool ruvo = m_config.RuvoMailbox();
    if (IsSource())
        return ruvo ? MailboxAddresses{0x80000750, 0x80000754} : MailboxAddresses{0x810003F4, 0x810003F8};
    return ruvo ? MailboxAddresses{0x80000820, 0x80000824} : MailboxAddresses{0x81000000, 0x81000004};
}

std::vector<uint8_t>& Chip::MemoryBytes() {
    return m_memory ? m_memory->Bytes() : m_noBytes;
}

uint32_t Chip::Stored(uint32_t address) const {
    auto found = m_storage.find(address);
    return found == m_storage.end() ? 0 : found->second;
}

uint32_t Chip::ReadRegister(uint32_t address) {
    uint32_t value = 0;
    if (ControllerRead(address, value)) return value;
    if (address == kIdRegister) return m_config.Id();
    if (address == kStrapRegister) return m_config.Straps();
    if (address == (IsSource() ? kSourceVersionRegister : kSinkVersionRegister)) return m_config.Version();
    if (address == Mailbox().command) return ReadMailbox();
    return Stored(address);
}

void Chip::WriteRegister(uint32_t address, uint32_t value) {
    if (ControllerWrite(address, value)) return;
    if (address == kIdRegister || address == kStrapRegister ||
        address == (IsSource() ? kSourceVersionRegister : kSinkVersionRegister))
        return;  // read-only
    if (address == Mailbox().command) {
        WriteMailbox(value);
        return;
    }
    m_storage[address] = value;
}

bool Chip::ControllerRead(uint32_t address, uint32_t& value) {
    uint32_t base = ControllerBase();
    if (address == base)
        value = m_controller->Control();
    else if (address == base + 4)
        value = m_controller->ReadStatus();
    else if (address == base + 8)
        value = 0;
    else if (address == base + 12)
        value = m_controller->ReadReceive();
    else
        return false;
    return true;
}

bool Chip::ControllerWrite(uint32_t address, uint32_t value) {
    uint32_t base = ControllerBase();
    if (address == base)
        m_controller->WriteControl(value);
    else if (address == base + 8)
        m_controller->WriteTransmit(value);
    else if (address != base + 4 && address != base + 12)
        return false;
    return true;
}

// The chip performs the access at once and shows the command bits for a few more polls.
void Chip::WriteMailbox(uint32_t value) {
    m_mailboxCommand = value;
    m_mailboxPending = 0;
    uint32_t target = value & ~3u;
    if (target == Mailbox().command || target == Mailbox().data) return;  // no access through itself
    if (value & 2) {
        m_storage[Mailbox().data] = ReadRegister(target);
    } else if (value & 1) {
        WriteRegister(target, Stored(Mailbox().data));
    } else {
        return;
    }
    m_mailboxPending = m_config.mailboxPolls;
}

uint32_t Chip::ReadMailbox() {
    if (m_mailboxPending == 0) return m_mailboxCommand & ~3u;
    --m_mailboxPending;
    return m_mailboxCommand;
}

void Chip::EndSession() {
    if (!m_memory) return;
    std::string open = m_memory->OpenTransfer();
    if (!open.empty()) m_audit.Record(open + " when the session ended");
}

}  // namespace board
