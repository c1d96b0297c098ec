#include "board/Firmware.h"

#include <cctype>
#include <cstdio>

namespace board {
namespace {

constexpr std::string_view kReady = "\r\nReady\r\n";
constexpr size_t kMalformed = static_cast<size_t>(-1);

bool HexField(std::string_view text, uint32_t& value) {
    value = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        value = (value << 4) |
                static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                                  : (c | 0x20) - 'a' + 10);
    }
    return true;
}

std::string Printable(std::string_view bytes) {
    std::string out;
    for (char c : bytes.substr(0, 24)) {
        if (std::isprint(static_cast<unsigned char>(c))) {
            out += c;
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(c));
            out += code;
        }
    }
    return out;
}

uint32_t WordAt(std::string_view data, size_t i) {
    uint32_t word = 0;
    for (size_t k = 0; k < 4; ++k) word = (word << 8) | static_cast<uint8_t>(data[i + k]);
    return word;
}

}  // namespace

void Firmware::AddFault(const FaultSpec& setting) {
    m_faults.emplace_back(setting);
    // A state fault due from the next command on is in force at once, so after=0 covers
    // register-level use of the chip that never passes through this firmware.
    ArmStateFaults(m_commands + 1);
}

void Firmware::Receive(const uint8_t* data, size_t size, std::string& answer) {
    m_pending.append(reinterpret_cast<const char*>(data), size);
    while (!m_pending.empty()) {
        if (m_skipping) {
            size_t lf = m_pending.find('\n');
            m_pending.erase(0, lf == std::string::npos ? m_pending.size() : lf + 1);
            m_skipping = lf == std::string::npos;
            continue;
        }
        size_t length = CommandLength();
        if (length == 0) return;  // wait for the rest
        if (length == kMalformed || !WellFormed(std::string_view(m_pending).substr(0, length))) {
            Skip();
            continue;
        }
        std::string command = m_pending.substr(0, length);
        m_pending.erase(0, length);
        Execute(command, answer);
    }
}

// Length of the command at the front, 0 while incomplete, kMalformed when it cannot be one.
size_t Firmware::CommandLength() const {
    size_t length = 0;
    switch (m_pending[0]) {
        case 'r':
            length = 10;
            break;
        case 'w':
            length = 19;
            break;
        case 'B':
        case 'T': {
            if (m_pending.size() < 2) return 0;
            auto n = static_cast<uint8_t>(m_pending[1]);
            if (n < 4 || n > 128 || n % 4 != 0) return kMalformed;
            length = n + 4u;
            break;
        }
        default:
            return kMalformed;
    }
    if (m_pending[0] == 'r' || m_pending[0] == 'w') {
        size_t lf = m_pending.find('\n');
        if (lf != std::string::npos && lf + 1 < length) return kMalformed;
    }
    return m_pending.size() < length ? 0 : length;
}

bool Firmware::WellFormed(std::string_view command) const {
    uint32_t ignored = 0;
    switch (command[0]) {
        case 'r':
            return HexField(command.substr(1, 8), ignored) && command[9] == '\n';
        case 'w':
            return HexField(command.substr(1, 8), ignored) && command[9] == ' ' &&
                   HexField(command.substr(10, 8), ignored) && command[18] == '\n';
        default:
            return command.substr(command.size() - 2) == "\r\n";
    }
}

void Firmware::Skip() {
    m_audit.Record("malformed input skipped: \"" + Printable(m_pending) + "\"");
    size_t lf = m_pending.find('\n');
    m_pending.erase(0, lf == std::string::npos ? m_pending.size() : lf + 1);
    m_skipping = lf == std::string::npos;
}

void Firmware::Execute(std::string_view command, std::string& answer) {
    ++m_commands;
    ArmStateFaults(m_commands);
    if (m_gone) return;
    for (FaultTrigger& fault : m_faults)
        if (fault.Setting().kind == FaultKind::Silence && fault.Fires(m_commands)) return;
    std::string normal = Run(command);
    Disturb(command, normal);
    answer += normal;
}

std::string Firmware::Run(std::string_view command) {
    uint32_t address = 0, value = 0;
    switch (command[0]) {
        case 'r':
            HexField(command.substr(1, 8), address);
            return Read(address);
        case 'w':
            HexField(command.substr(1, 8), address);
            HexField(command.substr(10, 8), value);
            return Write(address, value);
        case 'B':
            return Burn(command.substr(2, command.size() - 4));
        default:
            return Verify(command.substr(2, command.size() - 4));
    }
}

std::string Firmware::Read(uint32_t address) {
    char text[64];
    if (Chip::IsIndirect(address)) {
        std::snprintf(text, sizeof text, "\r\nError: address %08x needs the mailbox\r\nReady\r\n", address);
        return text;
    }
    std::snprintf(text, sizeof text, "%08x=%08X\r\nReady\r\n", address, m_chip.ReadRegister(address));
    return text;
}

std::string Firmware::Write(uint32_t address, uint32_t value) {
    if (Chip::IsIndirect(address)) {
        char text[64];
        std::snprintf(text, sizeof text, "\r\nError: address %08x needs the mailbox\r\nReady\r\n", address);
        return text;
    }
    m_chip.WriteRegister(address, value);
    return std::string(kReady);
}

std::string Firmware::Burn(std::string_view data) {
    Controller& controller = m_chip.MemoryController();
    if (controller.Width() != 4)
        m_audit.Record("block burn with transfer width " + std::to_string(controller.Width()) +
                       " instead of 4");
    for (size_t i = 0; i < data.size(); i += 4) controller.WriteTransmit(WordAt(data, i));
    return std::string(kReady);
}

std::string Firmware::Verify(std::string_view data) {
    Controller& controller = m_chip.MemoryController();
    if (controller.Width() != 4)
        m_audit.Record("block verify with transfer width " + std::to_string(controller.Width()) +
                       " instead of 4");
    bool same = true;
    for (size_t i = 0; i < data.size(); i += 4) same = controller.ReadReceive() == WordAt(data, i) && same;
    return same ? "\r\nPass\r\nReady\r\n" : "\r\nFail\r\nReady\r\n";
}

void Firmware::ArmStateFaults(uint64_t command) {
    ChipFaults& faults = m_chip.Faults();
    for (FaultTrigger& fault : m_faults) {
        if (!fault.Setting().IsState() && fault.Setting().kind != FaultKind::Gone) continue;
        if (!fault.Fires(command)) continue;
        switch (fault.Setting().kind) {
            case FaultKind::Gone:
                m_gone = true;
                break;
            case FaultKind::Busy:
                faults.stuckBusy = true;
                break;
            case FaultKind::StatusRefused:
                faults.refuseStatusWrite = true;
                break;
            case FaultKind::EarlyReady:
                faults.earlyReady = true;
                break;
            default:
                faults.neverReady = true;
                break;
        }
    }
}

void Firmware::Disturb(std::string_view command, std::string& normal) {
    for (FaultTrigger& fault : m_faults) {
        FaultKind kind = fault.Setting().kind;
        if (kind == FaultKind::Echo && (command[0] != 'r' || normal.size() < 9 || normal[8] != '=')) continue;
        if (kind != FaultKind::Noise && kind != FaultKind::Stale && kind != FaultKind::Echo &&
            kind != FaultKind::Flood)
            continue;
        if (!fault.Fires(m_commands)) continue;
        if (kind == FaultKind::Noise) normal = std::string(fault.Setting().Bytes(), '#') + normal;
        if (kind == FaultKind::Stale) normal = "\r\n00000000" + std::string(kReady) + normal;
        if (kind == FaultKind::Flood) normal = std::string(fault.Setting().Bytes(), 'U');
        if (kind == FaultKind::Echo) {
            char text[16];
            std::snprintf(text, sizeof text, "%08x",
                          static_cast<uint32_t>(std::stoul(normal.substr(0, 8), nullptr, 16) + 4));
            normal.replace(0, 8, text);
        }
    }
}

}  // namespace board
