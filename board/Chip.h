#pragma once
// One chip of the pair: its 32-bit register space, the serial-memory controller (at 0x80000050 on
// the source chip, 12 bytes lower on the sink chip), the register mailbox for indirect registers,
// and the memory device on the controller.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board/Audit.h"
#include "board/ChipConfig.h"
#include "board/Controller.h"
#include "board/MemoryDevice.h"

namespace board {

struct MailboxAddresses {
    uint32_t command;  // address-and-command register
    uint32_t data;
};

class Chip {
  public:
    static constexpr uint32_t kIdRegister = 0x80000000;
    static constexpr uint32_t kStrapRegister = 0x8000000C;
    static constexpr uint32_t kSourceVersionRegister = 0x80000404;
    static constexpr uint32_t kSinkVersionRegister = 0x80000294;
    static constexpr uint32_t kConfigRegister = 0x8000018C;
    static constexpr uint32_t kConfigReadRegister = 0x8000016C;

    // Throws std::invalid_argument for a memory that no device row describes.
    Chip(const ChipConfig& config, Audit& audit);

    // Register access at the chip itself, as the bench server reaches it: every address, indirect
    // ones included. The debug-port firmware refuses indirect ones (see IsIndirect).
    uint32_t ReadRegister(uint32_t address);
    void WriteRegister(uint32_t address, uint32_t value);

    // Addresses the debug port reaches only through the mailbox.
    static bool IsIndirect(uint32_t address);

    const ChipConfig& Config() const { return m_config; }
    bool IsSource() const { return m_config.side == Side::Source; }
    const char* Name() const { return IsSource() ? "source" : "sink"; }
    uint32_t ControllerBase() const { return IsSource() ? 0x80000050 : 0x80000044; }
    MailboxAddresses Mailbox() const;

    Controller& MemoryController() { return *m_controller; }
    // The memory device, nullptr for memory=none.
    MemoryDevice* Memory() { return m_memory.get(); }
    // The memory's cells (empty for memory=none).
    std::vector<uint8_t>& MemoryBytes();
    ChipFaults& Faults() { return m_faults; }

    // Session end: records any memory transfer still open in the audit.
    void EndSession();

  private:
    bool ControllerRead(uint32_t address, uint32_t& value);
    bool ControllerWrite(uint32_t address, uint32_t value);
    uint32_t ReadMailbox();
    void WriteMailbox(uint32_t value);
    uint32_t Stored(uint32_t address) const;

    ChipConfig m_config;
    AuditSink m_audit;
    ChipFaults m_faults;
    std::unique_ptr<MemoryDevice> m_memory;
    std::unique_ptr<Controller> m_controller;
    std::map<uint32_t, uint32_t> m_storage;
    std::vector<uint8_t> m_noBytes;
    uint32_t m_mailboxCommand = 0;
    unsigned m_mailboxPending = 0;
};

}  // namespace board
