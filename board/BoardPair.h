#pragma once
// The simulated board pair: target 0 the sink (RX) chip, target 1 the source (TX) chip, each with
// its registers, memory controller, memory and debug-port firmware. Tests drive it in-process
// through OpenDebugPort; the program tolvar-board serves the same firmware on pseudo-terminals.
//
//   board::BoardPair pair;                          // Marnel sink + source, 4 MiB Macronix flash each
//   auto port = pair.OpenDebugPort(1);             // the source chip's UART as a ByteDevice
//   pair.Target(1).MemoryBytes()[0] = 0x12;         // seed or check the memory
//   pair.EndSession();                              // then pair.AuditEntries() should be empty
//
// The pair must outlive every port it opened. Single-threaded.
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "board/Audit.h"
#include "board/Chip.h"
#include "board/ChipConfig.h"
#include "board/Faults.h"
#include "board/Firmware.h"
#include "board/LocalPort.h"
#include "platform/ByteDevice.h"

namespace board {

class BoardPair {
  public:
    // The default pair.
    BoardPair();
    // The configs' sides are forced to sink and source. Throws std::invalid_argument for a memory
    // that no device row describes.
    BoardPair(const ChipConfig& sink, const ChipConfig& source);

    // target 0: sink, 1: source.
    Chip& Target(int target) { return *m_chips.at(Index(target)); }
    Chip& Sink() { return Target(0); }
    Chip& Source() { return Target(1); }
    Firmware& DebugFirmware(int target) { return *m_firmware.at(Index(target)); }

    // The chip's debug UART, in-process.
    std::unique_ptr<platform::ByteDevice> OpenDebugPort(int target, DebugPortOptions options = {});

    // Fault injection (see Faults.h for the text form).
    void AddFault(const FaultSpec& setting);
    bool AddFault(std::string_view text, std::string& error);

    // Ends the session: memories left mid-transfer are recorded in the audit.
    void EndSession();
    const std::vector<std::string>& AuditEntries() const { return m_audit.Entries(); }
    std::string AuditReport() const { return m_audit.Report(); }
    void ClearAudit() { m_audit.Clear(); }

  private:
    static size_t Index(int target) { return target == 0 ? 0 : 1; }

    Audit m_audit;
    std::array<std::unique_ptr<Chip>, 2> m_chips;
    std::array<std::unique_ptr<Firmware>, 2> m_firmware;
};

}  // namespace board
