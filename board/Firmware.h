#pragma once
// The debug-port firmware of one chip: the text protocol on its UART.
//   "r%08x\n"            -> "%08x=%08X\r\nReady\r\n" (address as sent, value in upper case)
//   "w%08x %08x\n"       -> "\r\nReady\r\n"
//   "B" n data CR LF     -> the n bytes go out as transmit words into the write the tool opened;
//                           "\r\nReady\r\n"
//   "T" n data CR LF     -> the next n bytes of the read the tool opened are compared;
//                           "\r\nPass\r\nReady\r\n" or "\r\nFail\r\nReady\r\n"
// r/w of a mailbox-only address answer an error text. Malformed input is skipped up to the next
// line feed (and named in the audit).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "board/Audit.h"
#include "board/Chip.h"
#include "board/Faults.h"

namespace board {

class Firmware {
  public:
    Firmware(Chip& chip, AuditSink audit) : m_chip(chip), m_audit(std::move(audit)) {}

    // Takes bytes from the host; appends the firmware's answers to answer.
    void Receive(const uint8_t* data, size_t size, std::string& answer);

    void AddFault(const FaultSpec& setting);
    // Complete commands received so far.
    uint64_t Commands() const { return m_commands; }
    // The UART went away (fault "gone").
    bool Gone() const { return m_gone; }
    Chip& TargetChip() { return m_chip; }

  private:
    size_t CommandLength() const;
    bool WellFormed(std::string_view command) const;
    void Skip();
    void Execute(std::string_view command, std::string& answer);
    std::string Run(std::string_view command);
    std::string Read(uint32_t address);
    std::string Write(uint32_t address, uint32_t value);
    std::string Burn(std::string_view data);
    std::string Verify(std::string_view data);
    void ArmStateFaults(uint64_t command);
    void Disturb(std::string_view command, std::string& normal);

    Chip& m_chip;
    AuditSink m_audit;
    std::string m_pending;
    bool m_skipping = false;
    uint64_t m_commands = 0;
    bool m_gone = false;
    std::vector<FaultTrigger> m_faults;
};

}  // namespace board
