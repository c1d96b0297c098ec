#pragma once
// What the front end calls of the image operations. The image engineer owns this header.
#include <cstdint>
#include <string>

// Ends the run (before anything is erased, written or compared) when the image cannot be burned
// as it is: see openCheckedImage.
void requireSoundImage(const std::string& path);
// mode 1 burns, mode 2 verifies.
void burnImage(const std::string& path, int32_t mode, int32_t memoryKind, int32_t sizeSelection);
// Burns only the units (4 KiB sectors of an SPI flash, 128-byte pages of an EEPROM) whose memory
// differs from what a burn would leave there.
void updateImage(const std::string& path, int32_t memoryKind, int32_t sizeSelection);
void fillMemory(uint32_t length, uint32_t pattern, int32_t memoryKind);
