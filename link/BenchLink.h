#pragma once
// The bench-server link. (Interface the session relies on; the bench-link engineer owns it.)
#include <cstdint>
#include <string>

class BenchInterface {
public:
    virtual ~BenchInterface() = default;
};

class BenchLink {
public:
    // Connects to the bench server on the given host; raises CxExceptionError.
    explicit BenchLink(const std::string& hostName);
    virtual ~BenchLink();
};

void SelectBenchTarget();
uint32_t BenchRead(uint8_t target, uint32_t address);
void BenchWrite(uint8_t target, uint32_t address, uint32_t value);
