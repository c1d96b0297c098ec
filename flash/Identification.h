#pragma once
// Finding the requested chip of the board pair and what memory hangs on its controller.
#include <cstdint>

// Finds the chip of the requested side, sets the session's target and register offset, and
// settles the memory kind and size selection (the size stays as it was for kind 0). Stops the
// run when the side does not answer.
void IdentifyMemory(int32_t& memoryKind, int32_t side, int32_t& sizeSelection);
// 0 sink found, 2 source found, -1 the requested side does not answer.
int32_t FindSide(int32_t side);
// 1 Ostral family, 2 Marnel sink chip, 3 Marnel source chip.
int32_t ReadChipType();
// 1 SPI, 2 I2C.
int32_t ReadStrapProtocol();
// Size selection from the address-width straps: 1 = 64 KiB, 2 = 128 KiB (assumed when invalid).
int32_t ReadStrapSize();
// Memory kind from the SPI flash's JEDEC manufacturer id.
int32_t ReadFlashId();
