// Flash-driver operations that have not landed yet: each says so when reached.
#include "flash/FlashDriver.h"
#include "front/CxException.h"

namespace {
[[noreturn]] void NotAvailable() { throw CxExceptionError("Flash driver: not available in this build", 0); }
}  // namespace

void PrepareMemory(int32_t) { NotAvailable(); }
void IdentifyMemory(int32_t&, int32_t, int32_t&) { NotAvailable(); }
int32_t ReadChipType() { NotAvailable(); }
void EraseChip(int32_t) { NotAvailable(); }
void EraseUpdateSection(int32_t, int32_t) { NotAvailable(); }
void EraseRange(uint32_t, uint32_t, int32_t, uint32_t, uint32_t) { NotAvailable(); }
void EraseSectors(int32_t, uint32_t, uint32_t) { NotAvailable(); }
void EraseSingleSectorOrBlock(int32_t, uint32_t, uint32_t) { NotAvailable(); }
void StartWrite(uint32_t, int32_t) { NotAvailable(); }
void WriteWord(int32_t, uint32_t) { NotAvailable(); }
void EndWrite(int32_t) { NotAvailable(); }
void FlushFastBurn() { NotAvailable(); }
void StartRead(int32_t, uint32_t, bool) { NotAvailable(); }
uint32_t ReadWord(int32_t) { NotAvailable(); }
bool EndRead(int32_t) { NotAvailable(); }
void ReadMemory(uint32_t, int32_t, bool, uint32_t*, int32_t) { NotAvailable(); }
uint32_t PreBurnRead() { NotAvailable(); }
