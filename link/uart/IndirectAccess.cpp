#include "link/uart/IndirectAccess.h"

#include "chip/ChipFacts.h"
#include "platform/Clock.h"

namespace IndirectAccess {
namespace {

constexpr uint32_t kReadCommand = 2;
constexpr uint32_t kWriteCommand = 1;
constexpr uint32_t kCommandBits = 3;
constexpr uint32_t kIdleLimitMs = 600;

}  // namespace

uint32_t CIndirectAccess::AddressRegister() const {
    if (m_targetTX) return m_chipOstral ? chip::kOstralSourceMailbox : chip::kRuvoSourceMailbox;
    return m_chipOstral ? chip::kOstralSinkMailbox : chip::kRuvoSinkMailbox;
}

uint32_t CIndirectAccess::DataRegister() const {
    return AddressRegister() + 4;
}

uint32_t CIndirectAccess::Read(uint32_t address, bool& isDone) {
    isDone = true;
    m_directAccess->WriteDirect(AddressRegister(), address | kReadCommand, m_targetTX);
    if (!WaitAnswer()) {
        isDone = false;
        return 0xFFFFFFFF;
    }
    return m_directAccess->ReadDirect(DataRegister(), m_targetTX);
}

bool CIndirectAccess::Write(uint32_t address, uint32_t value) {
    // A failed direct write shows up as a mailbox that never goes idle.
    m_directAccess->WriteDirect(DataRegister(), value, m_targetTX);
    m_directAccess->WriteDirect(AddressRegister(), address | kWriteCommand, m_targetTX);
    return WaitAnswer();
}

bool CIndirectAccess::WaitAnswer() {
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    for (;;) {
        if ((m_directAccess->ReadDirect(AddressRegister(), m_targetTX) & kCommandBits) == 0) return true;
        if (clock.TickMs() - start > kIdleLimitMs) return false;
    }
}

}  // namespace IndirectAccess
