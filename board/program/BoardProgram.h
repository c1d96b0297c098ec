#pragma once
// The program tolvar-board: options, start-up (images, ptys, links), the serving loop and the
// orderly end (images, audit). main() only wires signals to Run.
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "board/ChipConfig.h"
#include "board/Faults.h"
#include "board/bench/BenchServer.h"

namespace board {

struct ProgramOptions {
    std::string prefix;  // empty: $TOLVAR_PREFIX, else ~/.tolvar
    ChipConfig sink = DefaultChipConfig(Side::Sink);
    ChipConfig source = DefaultChipConfig(Side::Source);
    uint32_t baud = 0;
    std::vector<FaultSpec> faults;
    std::string auditFile;
    BenchOptions bench;
    bool help = false;
};

// Parses argv[1..]. False with error set on a bad argument.
bool ParseProgramOptions(int argc, const char* const* argv, ProgramOptions& options, std::string& error);

// The --help text.
std::string ProgramUsage();

// Serves the pair until stop becomes non-zero (set from a signal handler). The signals that set it
// must be blocked by the caller; they are let through only while the loop waits. Prints "ready" on
// standard output once every port is open. Returns the exit code; errors go to standard error.
int RunBoard(const ProgramOptions& options, const volatile std::sig_atomic_t& stop, const sigset_t& waitMask);

}  // namespace board
