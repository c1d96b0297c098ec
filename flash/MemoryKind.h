#pragma once
// The families of memory kinds, as the identification numbers them.
#include <cstdint>

// Kinds 3 to 5: SPI serial flash, erased in sectors and blocks.
inline bool IsSpiFlash(int32_t kind) {
    return kind >= 3 && kind <= 5;
}

// Kinds 1, 2 and 8: EEPROMs (SPI, and I2C of either family), driven in data mode.
inline bool IsEeprom(int32_t kind) {
    return kind == 1 || kind == 2 || kind == 8;
}

// Kinds 2 and 8: I2C EEPROM (Ostral and Marnel).
inline bool IsI2c(int32_t kind) {
    return kind == 2 || kind == 8;
}
