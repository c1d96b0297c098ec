#pragma once
// Helpers shared by the flash driver's tests.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "link/TargetSession.h"
#include "tests/support/BoardSession.h"

namespace flashtest {

using board::Side;
using testsupport::BoardSession;
using testsupport::Chip;

// The register log lines ("w ...", "read ...") of the console output; the debug mode prints them.
inline std::vector<std::string> RegisterLog(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("w ", 0) == 0 || line.rfind("read ", 0) == 0) lines.push_back(line);
    }
    return lines;
}

// Turns on the register log from here on and forgets what was printed so far.
inline void StartRegisterLog(BoardSession& bench) {
    Session().options.debugMode = 1;
    bench.ClearOutput();
}

inline void StopRegisterLog() {
    Session().options.debugMode = 0;
}

// Distinct words for an address range, so a word written to the wrong place shows.
inline std::vector<uint32_t> Pattern(uint32_t address, size_t words) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < words; ++i)
        out.push_back(0xA5000000u ^ (address + 4u * static_cast<uint32_t>(i)) * 2654435761u);
    return out;
}

// The words as the memory holds them: most significant byte at the lowest address.
inline std::vector<uint32_t> WordsAt(const std::vector<uint8_t>& memory, uint32_t address, size_t words) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < words; ++i) {
        const size_t at = address + 4 * i;
        out.push_back(uint32_t{memory[at]} << 24 | uint32_t{memory[at + 1]} << 16 |
                      uint32_t{memory[at + 2]} << 8 | memory[at + 3]);
    }
    return out;
}

inline void SeedWords(std::vector<uint8_t>& memory, uint32_t address, const std::vector<uint32_t>& words) {
    for (size_t i = 0; i < words.size(); ++i) {
        for (int b = 0; b < 4; ++b)
            memory[address + 4 * i + b] = static_cast<uint8_t>(words[i] >> (24 - 8 * b));
    }
}

}  // namespace flashtest
