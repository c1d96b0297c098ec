#pragma once
// What the front end, the image operations and the image checks call of the flash driver. The
// flash-driver engineer owns this header and may split it or add to it.
#include <cstdint>

// Controller idle state for the memory kind.
void PrepareMemory(int32_t memoryKind);

// Finds the chip of the requested side, sets the session's target and register offset, and
// settles the memory kind and size selection.
void IdentifyMemory(int32_t& memoryKind, int32_t side, int32_t& sizeSelection);
// 1 Ostral family, 2 Marnel sink chip, 3 Marnel source chip.
int32_t ReadChipType();

void EraseChip(int32_t memoryKind);
void EraseUpdateSection(int32_t sizeSelection, int32_t memoryKind);
void EraseRange(uint32_t start, uint32_t unit, int32_t memoryKind, uint32_t length, uint32_t transmitWord);
void EraseSectors(int32_t memoryKind, uint32_t start, uint32_t length);
void EraseSingleSectorOrBlock(int32_t memoryKind, uint32_t address, uint32_t transmitWord);

// Write and read sequences of 32-bit words.
void StartWrite(uint32_t address, int32_t memoryKind);
void WriteWord(int32_t memoryKind, uint32_t word);
void EndWrite(int32_t memoryKind);
void FlushFastBurn();
void StartRead(int32_t memoryKind, uint32_t address, bool fast);
uint32_t ReadWord(int32_t memoryKind);
bool EndRead(int32_t memoryKind);

void ReadMemory(uint32_t start, int32_t wordCount, bool print, uint32_t* out, int32_t memoryKind);
uint32_t PreBurnRead();
