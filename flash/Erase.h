#pragma once
// Erasing the memory: a whole SPI flash or SPI EEPROM, 4 KiB sectors or 64 KiB blocks of an SPI
// flash, and the update-section mark of an I2C EEPROM.
#include <cstdint>

constexpr uint32_t kSectorSize = 0x1000;
constexpr uint32_t kBlockSize = 0x10000;
constexpr uint32_t kSectorEraseWord = 0x20000000;
constexpr uint32_t kBlockEraseWord = 0xD8000000;

// Polls the flash status until it is ready; false when it timed out or was implausibly quick.
bool WaitChipReady(uint32_t timeoutMs, uint32_t minimumMs, const char* text);
// Stops the run for a kind it cannot erase.
void EraseChip(int32_t memoryKind);
void EraseSingleSectorOrBlock(int32_t memoryKind, uint32_t address, uint32_t transmitWord);
// Erases every unit the bytes start .. start + length - 1 touch, in ascending order.
void EraseRange(uint32_t start, uint32_t unit, int32_t memoryKind, uint32_t length, uint32_t transmitWord);
void EraseSectors(int32_t memoryKind, uint32_t start, uint32_t length);
// Clears the 4-byte mark 16 bytes before the end of an I2C EEPROM.
void EraseUpdateSection(int32_t sizeSelection, int32_t memoryKind);
