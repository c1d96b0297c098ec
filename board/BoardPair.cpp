#include "board/BoardPair.h"

namespace board {

BoardPair::BoardPair() : BoardPair(DefaultChipConfig(Side::Sink), DefaultChipConfig(Side::Source)) {}

BoardPair::BoardPair(const ChipConfig& sink, const ChipConfig& source) {
    ChipConfig configs[2] = {sink, source};
    configs[0].side = Side::Sink;
    configs[1].side = Side::Source;
    for (size_t i = 0; i < 2; ++i) {
        m_chips[i] = std::make_unique<Chip>(configs[i], m_audit);
        m_firmware[i] = std::make_unique<Firmware>(*m_chips[i], AuditSink(m_audit, m_chips[i]->Name()));
    }
}

std::unique_ptr<platform::ByteDevice> BoardPair::OpenDebugPort(int target, DebugPortOptions options) {
    return std::make_unique<LocalPort>(DebugFirmware(target), options);
}

void BoardPair::AddFault(const FaultSpec& setting) {
    if (setting.chip != FaultChip::Source) m_firmware[0]->AddFault(setting);
    if (setting.chip != FaultChip::Sink) m_firmware[1]->AddFault(setting);
}

bool BoardPair::AddFault(std::string_view text, std::string& error) {
    FaultSpec setting;
    if (!ParseFault(text, setting, error)) return false;
    AddFault(setting);
    return true;
}

void BoardPair::EndSession() {
    for (auto& chip : m_chips) chip->EndSession();
}

}  // namespace board
