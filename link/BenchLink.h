#pragma once
// The bench-server link of the session: register reads and writes of either chip carried by the
// bench server of the Norvik test environment.
#include <cstdint>
#include <optional>
#include <string>

#include "link/bench/BenchObjects.h"

class BenchLink {
  public:
    // Connects to the bench server on the given host and stores the two interfaces in the
    // session; raises CxExceptionError. Every exchange with the server ends within timeoutMs.
    explicit BenchLink(const std::string& hostName, uint32_t timeoutMs = kBenchExchangeTimeoutMs);
    virtual ~BenchLink();

    const std::string& HostName() const { return m_hostName; }

  private:
    void Connect();

    std::string m_hostName;
    uint32_t m_timeoutMs;
};

// Picks the bench's connection (SelectBenchTarget) through the session's product; raises.
void SelectBenchTarget();
// Sends a command text (absent when nullopt) to the product; returns the call's status.
int32_t BenchCommand(const std::optional<std::string>& text);
uint32_t BenchRead(uint8_t target, uint32_t address);
void BenchWrite(uint8_t target, uint32_t address, uint32_t value);
// Over the bench link, takes the chip of the target for the rest of the process: two runs on one
// chip would interleave their commands to its memory. Waits as long as a run waits for a port,
// then raises CxExceptionError naming the chip. The memory locks become the chip's. Nothing to do
// on a UART link, whose port is the chip's.
void HoldBenchChip(uint32_t target);
