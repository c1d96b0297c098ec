// Flash-driver operations that have not landed yet: each says so when reached.
#include "flash/FlashDriver.h"
#include "front/CxException.h"

namespace {
[[noreturn]] void NotAvailable() { throw CxExceptionError("Flash driver: not available in this build", 0); }
}  // namespace

void IdentifyMemory(int32_t&, int32_t, int32_t&) { NotAvailable(); }
void EraseChip(int32_t) { NotAvailable(); }
void EraseUpdateSection(int32_t, int32_t) { NotAvailable(); }
void EraseRange(uint32_t, uint32_t, int32_t, uint32_t, uint32_t) { NotAvailable(); }
void ReadMemory(uint32_t, int32_t, bool, uint32_t*, int32_t) { NotAvailable(); }
uint32_t PreBurnRead() { NotAvailable(); }
