#pragma once
// The memory kinds, one row each: how the driver reaches the memory, how it is erased, how large
// it is and which option word selects it. Code asks the row, never the kind number; a new kind is
// a row here plus whatever it does that no row does yet.
#include <strings.h>

#include <cstdint>

#include "chip/ChipFacts.h"

// The kind numbers as identification gives them and the session carries them.
enum MemoryKind : int32_t {
    // An SPI flash whose id no row knows: command mode over the whole address space, no erase.
    KindUnknownFlash = 0,
    KindSpiEeprom = 1,
    KindOstralI2c = 2,
    KindMacronixFlash = 3,
    KindAmicFlash = 4,
    KindSpansionFlash = 5,
    KindMarnelI2c = 8,
};

enum class MemoryBus { Spi, I2c };

// Command mode: the controller frames whole SPI commands (select, up to 4 bytes, release).
// Data mode: the driver moves chip select and I2C control bits itself through the control shadow.
enum class ControllerMode { Command, Data };

enum class EraseStyle {
    None,
    // The whole chip by one SPI command in data mode, then a fixed wait.
    DataModeChip,
    // The whole chip, 4 KiB sectors or 64 KiB blocks by SPI commands, each waited out on the status.
    SectorsAndBlocks,
    // Only the update-section mark at the end of the memory is cleared.
    UpdateMark,
};

enum class SizeRule {
    // The 24-bit address space of the SPI commands.
    AddressSpace,
    // 64 or 128 KiB as the address-width straps say.
    Straps,
    // A 4 MiB flash.
    Flash4MiB,
};

struct MemoryKindRow {
    MemoryKind kind;
    const char* name;
    MemoryBus bus;
    ControllerMode mode;
    // Takes the UART's 128-byte block burn and check.
    bool fast;
    EraseStyle erase;
    SizeRule size;
    // I2C device byte (write direction) of the low and of the high 64 KiB; 0 on SPI.
    uint8_t i2cDeviceLow;
    uint8_t i2cDeviceHigh;
    // A read needs the read-phase bit of the control register set between address and data.
    bool i2cReadPhase;
    // Moves the I2C control bits for the rest of the run; null when they stay.
    const chip::I2cBits* i2cBits;
    // The command-line word that selects the kind (any case); null when only identification finds it.
    const char* option;
};

// clang-format off
inline constexpr MemoryKindRow kMemoryKinds[] = {
    // kind             name                  bus              mode                     fast   erase                         size                    low   high  phase  bits                    option
    {KindUnknownFlash,  "unknown SPI flash",  MemoryBus::Spi,  ControllerMode::Command, false, EraseStyle::None,             SizeRule::AddressSpace, 0,    0,    false, nullptr,                nullptr},
    {KindSpiEeprom,     "SPI EEPROM",         MemoryBus::Spi,  ControllerMode::Data,    false, EraseStyle::DataModeChip,     SizeRule::Straps,       0,    0,    false, nullptr,                "s"},
    {KindOstralI2c,     "Ostral I2C EEPROM",  MemoryBus::I2c,  ControllerMode::Data,    false, EraseStyle::UpdateMark,       SizeRule::Straps,       0xA0, 0xA8, false, nullptr,                nullptr},
    {KindMacronixFlash, "Macronix SPI flash", MemoryBus::Spi,  ControllerMode::Command, true,  EraseStyle::SectorsAndBlocks, SizeRule::Flash4MiB,    0,    0,    false, nullptr,                "dm"},
    {KindAmicFlash,     "Amic SPI flash",     MemoryBus::Spi,  ControllerMode::Command, true,  EraseStyle::SectorsAndBlocks, SizeRule::Flash4MiB,    0,    0,    false, nullptr,                "da"},
    {KindSpansionFlash, "Spansion SPI flash", MemoryBus::Spi,  ControllerMode::Command, true,  EraseStyle::SectorsAndBlocks, SizeRule::Flash4MiB,    0,    0,    false, nullptr,                "ds"},
    {KindMarnelI2c,     "Marnel I2C EEPROM",  MemoryBus::I2c,  ControllerMode::Data,    true,  EraseStyle::UpdateMark,       SizeRule::Straps,       0xA0, 0xA8, true,  &chip::kMarnelI2cBits,  nullptr},
};
// clang-format on

// The row of a kind; a number no row has is driven as the unknown flash, but keeps its number.
constexpr const MemoryKindRow& KindRow(int32_t kind) {
    for (const MemoryKindRow& row : kMemoryKinds) {
        if (row.kind == kind) return row;
    }
    return kMemoryKinds[0];
}

constexpr bool IsKnownKind(int32_t kind) {
    return kind != KindUnknownFlash && KindRow(kind).kind == kind;
}

// SPI flash of a known maker: erased in sectors and blocks.
constexpr bool IsSpiFlash(int32_t kind) {
    return IsKnownKind(kind) && KindRow(kind).erase == EraseStyle::SectorsAndBlocks;
}

// Driven in data mode: the EEPROMs.
constexpr bool IsEeprom(int32_t kind) {
    return IsKnownKind(kind) && KindRow(kind).mode == ControllerMode::Data;
}

constexpr bool IsI2c(int32_t kind) {
    return IsKnownKind(kind) && KindRow(kind).bus == MemoryBus::I2c;
}

// An EEPROM on the SPI bus.
constexpr bool IsSpiEeprom(int32_t kind) {
    return IsEeprom(kind) && KindRow(kind).bus == MemoryBus::Spi;
}

// Takes the 128-byte block burn and check.
constexpr bool IsFastKind(int32_t kind) {
    return IsKnownKind(kind) && KindRow(kind).fast;
}

// The row whose option word this is (any case); null when no row has it.
inline const MemoryKindRow* KindForOption(const char* word) {
    if (word == nullptr) return nullptr;
    for (const MemoryKindRow& row : kMemoryKinds) {
        if (row.option != nullptr && strcasecmp(word, row.option) == 0) return &row;
    }
    return nullptr;
}
