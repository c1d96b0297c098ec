#include "board/MemoryDevice.h"

#include <limits>

#include "platform/Clock.h"

namespace board {

MemoryDevice::MemoryDevice(const DeviceRow& row, AuditSink audit, const ChipFaults& faults)
    : m_row(row), m_bytes(row.size, 0xFF), m_audit(std::move(audit)), m_faults(faults) {}

bool MemoryDevice::Busy() const {
    return platform::CurrentClock().MicroSeconds() < m_busyUntilUs;
}

void MemoryDevice::StartBusy(uint64_t us) {
    m_busyUntilUs = platform::CurrentClock().MicroSeconds() + us;
}

void MemoryDevice::StartEraseBusy(uint64_t us) {
    if (m_faults.neverReady)
        m_busyUntilUs = std::numeric_limits<uint64_t>::max();
    else
        StartBusy(m_faults.earlyReady ? us / 10 : us);
}

}  // namespace board
