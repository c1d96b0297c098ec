#pragma once
// Erasing the memory: a whole SPI flash or SPI EEPROM, 4 KiB sectors or 64 KiB blocks of an SPI
// flash, and the update-section mark of an I2C EEPROM.
#include <cstdint>

#include "chip/ChipFacts.h"

inline constexpr uint32_t kSectorSize = 0x1000;
inline constexpr uint32_t kBlockSize = 0x10000;
inline constexpr uint32_t kSectorEraseWord = chip::OpcodeWord(chip::kSectorErase);
inline constexpr uint32_t kBlockEraseWord = chip::OpcodeWord(chip::kBlockErase);

// How a wait for the flash to become ready ended. TooQuick: ready sooner than the erase can be
// (the full time was waited out instead); TimedOut: still busy at the time-out, so the erase failed.
enum class ChipWait { Ready, TooQuick, TimedOut };

// Polls the flash status until it is ready or the time-out has passed; stops the run when the
// status says the flash is write protected (it refused the erase).
[[nodiscard]] ChipWait WaitChipReady(uint32_t timeoutMs, uint32_t minimumMs, const char* text);

// The erase functions return false when a wait for the flash timed out: the erase went on as far
// as it could but did not complete, and the caller decides what that means for the run.

// Stops the run for a kind it cannot erase.
[[nodiscard]] bool EraseChip(int32_t memoryKind);
// A kind without sectors and blocks is told so and counts as done.
[[nodiscard]] bool EraseSingleSectorOrBlock(int32_t memoryKind, uint32_t address, uint32_t transmitWord);
// Erases every unit the bytes start .. start + length - 1 touch, in ascending order; every unit is
// tried even after one failed.
[[nodiscard]] bool EraseRange(uint32_t start, uint32_t unit, int32_t memoryKind, uint32_t length,
                              uint32_t transmitWord);
[[nodiscard]] bool EraseSectors(int32_t memoryKind, uint32_t start, uint32_t length);
// Clears the 4-byte mark 16 bytes before the end of an I2C EEPROM.
void EraseUpdateSection(int32_t sizeSelection, int32_t memoryKind);
