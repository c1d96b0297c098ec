#pragma once
// May this image be burned into the connected chip.
#include <cstdint>
#include <optional>

// The front end's entry. True to go on; false after the reason has been printed (a bad
// parameter-section file). A failed firmware check prints its reason and stops the process.
// path may be null.
[[nodiscard]] bool CheckImageFile(const char* path);

// Parameter-section ("upt") file: header present and its checksum right.
[[nodiscard]] bool CheckUptFile(const char* path);

// Firmware image for the chip family found in the identification register; stops the process
// on any failure.
void CheckFirmwareImage(const char* path);

// Marnel image: its firmware header must be for the connected side.
void CheckMarnelImage(const char* path);

// Ostral image: CRC record when recent enough, firmware type against the chip revision.
void CheckOstralImage(const char* path);

// Stops unless the file carries a CRC record with the right value.
void CheckCrcRecord(const char* path);

// The value the file's CRC record holds, found without a word on the console; empty when the file
// carries no CRC record or cannot be read.
std::optional<uint32_t> FindCrcRecord(const char* path);
