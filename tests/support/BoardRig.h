#pragma once
// An in-process board pair reached over the UART link at 115200 baud on a virtual clock (line time
// and busy times cost no real time), with a private prefix:
// source chip on com1, sink chip on com2. Everything the host sends is kept for inspection.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board/BoardPair.h"
#include "link/uart/CUartLib.h"
#include "platform/Clock.h"
#include "tests/support/TempDir.h"

namespace testsupport {

// A fast-transfer block as the host sent it.
struct SentBlock {
    char command;  // 'B' burn, 'T' verify
    uint8_t length;
};

class BoardRig {
  public:
    // Chip specs in the board program's SPEC form ("memory=i2c-eeprom,size=128k"), on top of the
    // default Marnel chips with a 4 MiB Macronix flash.
    explicit BoardRig(const std::string& sourceSpec = "", const std::string& sinkSpec = "");
    ~BoardRig();

    // Fresh session on the chip's port, memory identified; returns the memory kind.
    int32_t Connect(int target, int32_t memoryKind = 0);
    int32_t SizeSelection() const { return m_sizeSelection; }

    std::vector<uint8_t>& Memory(int target) { return pair->Target(target).MemoryBytes(); }
    // Audit findings after ending the session ("" when clean).
    std::string EndAndAudit();
    // The block commands in what the host sent so far.
    std::vector<SentBlock> Blocks() const;
    // Erase commands seen on the chip's memory bus since tracing began: "20@003000", "d8@020000".
    std::vector<std::string> Erases(int target) const;
    void TraceBus(int target, bool on);

    ScopedPrefix prefix;
    platform::VirtualClock clock;
    std::unique_ptr<board::BoardPair> pair;
    std::string sent;

  private:
    platform::ScopedClock m_scopedClock{clock};
    std::unique_ptr<ScopedPortOpener> m_opener;
    int32_t m_sizeSelection = 0;
};

}  // namespace testsupport
