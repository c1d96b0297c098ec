#pragma once
// Registers the attached chip reaches only through a mailbox: an address-and-command register
// and a data register in its directly reachable space.
#include <cstdint>

namespace IndirectAccess {

// The register interface the mailbox runs over.
class CDirectAccess {
  public:
    virtual ~CDirectAccess() = default;
    // isTX tells which chip the access is meant for.
    virtual uint32_t ReadDirect(uint32_t address, bool isTX) = 0;
    // False on failure; never raises.
    virtual bool WriteDirect(uint32_t address, uint32_t value, bool isTX) = 0;
};

class CIndirectAccess {
  public:
    explicit CIndirectAccess(CDirectAccess* directAccess) : m_directAccess(directAccess) {}

    void set_TargetTX() { m_targetTX = true; }
    void set_TargetRX() { m_targetTX = false; }
    void set_ChipOstral() { m_chipOstral = true; }
    void set_ChipRuvo() { m_chipOstral = false; }
    bool TargetTX() const { return m_targetTX; }
    bool ChipOstral() const { return m_chipOstral; }

    uint32_t AddressRegister() const;
    uint32_t DataRegister() const;

    // 0xFFFFFFFF with isDone false when the mailbox stayed busy.
    uint32_t Read(uint32_t address, bool& isDone);
    // True when the chip finished the write in time.
    bool Write(uint32_t address, uint32_t value);
    // True when the mailbox became idle within 600 ms.
    bool WaitAnswer();

  private:
    bool m_targetTX = true;
    bool m_chipOstral = true;
    CDirectAccess* m_directAccess;
};

}  // namespace IndirectAccess
