#include "board/Audit.h"

namespace board {

std::string Audit::Report() const {
    std::string out;
    for (const std::string& line : m_entries) out += line + "\n";
    if (m_count > m_entries.size()) out += "... " + std::to_string(m_count - m_entries.size()) + " more\n";
    out += "audit: " + std::to_string(m_count) + " finding(s)\n";
    return out;
}

}  // namespace board
