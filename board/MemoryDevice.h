#pragma once
// A memory device on a chip's serial-memory controller. The controller drives it through one of
// two bus faces: SPI (select, byte shifts, release) or I2C (start with a device byte, byte writes,
// byte reads, stop). A device answers only on its own bus; the other face behaves like an empty bus.
#include <cstdint>
#include <string>
#include <vector>

#include "board/Audit.h"
#include "board/DeviceTable.h"

namespace board {

// Misbehaviour switched on by fault injection; shared by a chip's controller and memory.
struct ChipFaults {
    bool stuckBusy = false;          // controller status bit 0 never clears
    bool refuseStatusWrite = false;  // flash status stays 0x9c whatever is written
    bool earlyReady = false;         // erases report ready after a tenth of their time
    bool neverReady = false;         // erases never report ready
};

class MemoryDevice {
  public:
    MemoryDevice(const DeviceRow& row, AuditSink audit, const ChipFaults& faults);
    virtual ~MemoryDevice() = default;
    MemoryDevice(const MemoryDevice&) = delete;
    MemoryDevice& operator=(const MemoryDevice&) = delete;

    const DeviceRow& Row() const { return m_row; }
    // The cells, erased (0xFF) at start; tests seed and inspect them here.
    std::vector<uint8_t>& Bytes() { return m_bytes; }
    bool Busy() const;

    virtual void SpiSelect() {}
    virtual uint8_t SpiShift(uint8_t) { return 0xFF; }
    virtual void SpiRelease() {}

    // False: no acknowledge.
    virtual bool I2cStart(uint8_t) { return false; }
    virtual bool I2cWrite(uint8_t) { return false; }
    virtual uint8_t I2cRead(bool) { return 0xFF; }
    virtual void I2cStop() {}

    // What a session end finds still open, empty when nothing.
    virtual std::string OpenTransfer() const { return {}; }

  protected:
    void StartBusy(uint64_t us);
    // An erase's busy time as the fault settings let it appear.
    void StartEraseBusy(uint64_t us);
    const AuditSink& Audit() const { return m_audit; }
    const ChipFaults& Faults() const { return m_faults; }

    DeviceRow m_row;
    std::vector<uint8_t> m_bytes;

  private:
    AuditSink m_audit;
    const ChipFaults& m_faults;
    uint64_t m_busyUntilUs = 0;
};

}  // namespace board
