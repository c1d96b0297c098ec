#pragma once
// What the front end and the image operations call of the flash driver. The flash-driver
// engineer owns this header and may split it or add to it.
#include <cstdint>

// Finds the chip of the requested side, sets the session's target and register offset, and
// settles the memory kind and size selection.
void IdentifyMemory(int32_t& memoryKind, int32_t side, int32_t& sizeSelection);

void EraseChip(int32_t memoryKind);
void EraseUpdateSection(int32_t sizeSelection, int32_t memoryKind);
void EraseRange(uint32_t start, uint32_t unit, int32_t memoryKind, uint32_t length, uint32_t transmitWord);

void ReadMemory(uint32_t start, int32_t wordCount, bool print, uint32_t* out, int32_t memoryKind);
uint32_t PreBurnRead();
