// Bench-server link operations that have not landed yet: each says so when reached.
#include "front/CxException.h"
#include "link/BenchLink.h"

namespace {
[[noreturn]] void NotAvailable() { throw CxExceptionError("Bench-server link: not available in this build", 0); }
}  // namespace

BenchLink::BenchLink(const std::string&) { NotAvailable(); }
BenchLink::~BenchLink() = default;
void SelectBenchTarget() { NotAvailable(); }
uint32_t BenchRead(uint8_t, uint32_t) { NotAvailable(); }
void BenchWrite(uint8_t, uint32_t, uint32_t) { NotAvailable(); }
