#pragma once
// What one chip of the pair is: family, side, identity registers, the memory on its controller,
// and (for the program) its UART and image file. The program's SPEC text parses into this.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "board/Controller.h"

namespace board {

enum class Side { Sink = 0, Source = 1 };  // the tool's target numbers

struct ChipConfig {
    Side side = Side::Source;
    Family family = Family::Marnel;
    uint32_t revision = 1;
    std::optional<uint32_t> id;       // identification register 0x80000000
    std::optional<uint32_t> version;  // 0x80000404 (source) / 0x80000294 (sink)
    std::optional<uint32_t> straps;   // strap register 0x8000000c
    std::string memory = "mx25";      // device row name, or "none"
    uint32_t size = 0;                // 0: the row's default
    std::string uart;                 // "comN": served on a pty (program only); empty: none
    std::string image;                // raw image file loaded at start, saved at exit (program only)
    unsigned mailboxPolls = 2;        // mailbox polls that still show the command bits
    unsigned busyPolls = 0;           // controller status polls showing busy after each shift

    // Effective register values: the given one, else derived from family, side and memory.
    uint32_t Id() const;
    uint32_t Version() const;
    uint32_t Straps() const;
    // The mailbox family the tool would choose for this chip (Ruvo for newer Marnel parts).
    bool RuvoMailbox() const;
};

// The default chip of a side: a Marnel chip with a 4 MiB Macronix flash, source on com1, sink on com2.
ChipConfig DefaultChipConfig(Side side);

// Applies a SPEC ("family=ostral,memory=i2c-eeprom,size=128k,uart=com3") on top of config.
// On failure returns false and sets error.
bool ParseChipSpec(std::string_view setting, ChipConfig& config, std::string& error);

}  // namespace board
