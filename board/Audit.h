#pragma once
// The protocol audit: every misuse of the board that a correct tool never commits, named in one
// line each. A correct burn, verify, fill, erase or read leaves it empty.
#include <string>
#include <vector>

namespace board {

class Audit {
  public:
    // Kept entries; a tool stuck in a loop of misuse must not eat the board's memory.
    static constexpr size_t kKeptEntries = 10000;

    void Record(std::string line) {
        if (m_entries.size() < kKeptEntries) m_entries.push_back(std::move(line));
        ++m_count;
    }
    const std::vector<std::string>& Entries() const { return m_entries; }
    // All findings, kept or not.
    size_t Count() const { return m_count; }
    void Clear() {
        m_entries.clear();
        m_count = 0;
    }
    // The kept entries one per line, a line for those not kept, then "audit: N finding(s)".
    std::string Report() const;

  private:
    std::vector<std::string> m_entries;
    size_t m_count = 0;
};

// One chip's view of the shared audit: its entries carry the chip's name ("source: ...").
class AuditSink {
  public:
    AuditSink(Audit& audit, std::string who) : m_audit(&audit), m_who(std::move(who)) {}
    void Record(const std::string& text) const { m_audit->Record(m_who + ": " + text); }

  private:
    Audit* m_audit;
    std::string m_who;
};

}  // namespace board
