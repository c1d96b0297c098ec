#include "board/Audit.h"

namespace board {

std::string Audit::Report() const {
    std::string out;
    for (const std::string& line : m_entries) out += line + "\n";
    out += "audit: " + std::to_string(m_entries.size()) + " finding(s)\n";
    return out;
}

}  // namespace board
