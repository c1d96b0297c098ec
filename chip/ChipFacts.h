#pragma once
// What the tool knows of the two chips of a board pair: register addresses, how the
// identification and strap registers decode, the serial-memory controller's registers and the
// SPI opcodes the driver sends. Every floor that talks to a chip takes its facts from here; the
// simulated board keeps its own copy on purpose, so a wrong fact here fails against it.
#include <cstdint>

namespace chip {

// Chip-level registers, read and written without the session's register offset.
inline constexpr uint32_t kIdRegister = 0x80000000;
inline constexpr uint32_t kStrapRegister = 0x8000000c;
// The sink's configuration register; its field at bits 13-22 routes the controller.
inline constexpr uint32_t kSinkConfigRegister = 0x8000018c;
// Read on the source chip where the sink's configuration is written.
inline constexpr uint32_t kSourceConfigRegister = 0x8000016c;
inline constexpr uint32_t kSinkVersionRegister = 0x80000294;
inline constexpr uint32_t kSourceVersionRegister = 0x80000404;

// Target number that means "the session's current target".
inline constexpr uint8_t kCurrentTarget = 0xff;

// Identification register: bit 24 source, bits 0-5 revision of an Ostral chip.
inline constexpr uint32_t kSourceBit = 1u << 24;
inline constexpr uint32_t kRevisionBits = 0x3F;
// Bits that only a Marnel chip sets: everything but the side bit and the revision.
inline constexpr uint32_t kMarnelIdBits = 0xFEFFFFC0;
// The image checks tell the family by this one bit instead.
inline constexpr uint32_t kMarnelFamilyBit = 1u << 16;

constexpr bool IsSourceId(uint32_t id) {
    return (id & kSourceBit) != 0;
}
// 0 sink, 1 source.
constexpr int32_t SideOfId(uint32_t id) {
    return IsSourceId(id) ? 1 : 0;
}
// The family as identification, discovery and the indirect access tell it.
constexpr bool IsOstralId(uint32_t id) {
    return (id & kMarnelIdBits) == 0;
}
constexpr const char* FamilyName(uint32_t id) {
    return IsOstralId(id) ? "Ostral" : "Marnel";
}
// Version register of the chip that answered with this id.
constexpr uint32_t VersionRegisterOf(uint32_t id) {
    return IsSourceId(id) ? kSourceVersionRegister : kSinkVersionRegister;
}
// Marnel chips from this version on reach their indirect registers through the Ruvo mailbox.
inline constexpr uint32_t kLastOstralMailboxVersion = 0x38ccc000;

// Strap register: bit 4 I2C memory, bits 7-6 the EEPROM's address width.
inline constexpr uint32_t kStrapI2cBit = 0x10;
inline constexpr uint32_t kStrapSize64k = 1;
inline constexpr uint32_t kStrapSize128k = 2;
constexpr uint32_t StrapSizeField(uint32_t straps) {
    return (straps >> 6) & 3;
}
// Bytes of an EEPROM with these straps: anything but the 64 KiB value counts as 128 KiB.
constexpr int32_t StrapEepromBytes(uint32_t straps) {
    return StrapSizeField(straps) == kStrapSize64k ? 0x10000 : 0x20000;
}

// Mailbox registers of the indirect access, by family and side.
inline constexpr uint32_t kOstralSourceMailbox = 0x810003f4;
inline constexpr uint32_t kOstralSinkMailbox = 0x81000000;
inline constexpr uint32_t kRuvoSourceMailbox = 0x80000750;
inline constexpr uint32_t kRuvoSinkMailbox = 0x80000820;

// Register classes the debug port reaches only through the mailbox.
constexpr bool IsIndirectAddress(uint32_t address) {
    return (address >= 0x3f000000 && address <= 0x5fffffff) ||
           (address >= 0x85000000 && address <= 0x8fffffff);
}

// The serial-memory controller (source chip addresses; the sink's lie 12 bytes lower and are
// reached through the session's register offset).
inline constexpr uint32_t kControllerControl = 0x80000050;
inline constexpr uint32_t kControllerStatus = 0x80000054;
inline constexpr uint32_t kControllerTransmit = 0x80000058;
inline constexpr uint32_t kControllerReceive = 0x8000005c;
// Sink register offset of the controller.
inline constexpr int32_t kSinkControllerOffset = -12;
// Control register: the command width field, chip select and release in command mode.
inline constexpr uint32_t kWidthShift = 4;
inline constexpr uint32_t kSelectValue = 0x201;
inline constexpr uint32_t kReleaseValue = 0x301;
// Control register in data mode: the base value, width bits, chip select (active low) and the
// Marnel I2C read phase.
inline constexpr uint32_t kDataModeBase = 0x10b;
inline constexpr uint32_t kWidthBits = 0x30;
inline constexpr uint32_t kChipSelectBit = 0x100;
inline constexpr uint32_t kReadPhaseBit = 0x40;
// Positions of the I2C control bits in the control register: where they start, and where the
// Marnel I2C EEPROM has them.
struct I2cBits {
    uint32_t stopBit = 6;
    uint32_t lastByteBit = 7;
};
inline constexpr I2cBits kMarnelI2cBits{7, 9};
// Status register: bit 0 set while the controller shifts.
inline constexpr uint32_t kControllerBusyBit = 1;

// SPI opcodes of the memories, by name.
enum SpiOpcode : uint32_t {
    kWriteStatus = 0x01,
    kPageProgram = 0x02,
    kReadData = 0x03,
    kWriteDisable = 0x04,
    kReadStatus = 0x05,
    kWriteEnable = 0x06,
    kSectorErase = 0x20,
    kJedecId = 0x9F,
    kChipErase = 0xC7,
    kBlockErase = 0xD8,
};
// A transmit word carries the opcode in its top byte, a 24-bit address below it.
constexpr uint32_t OpcodeWord(SpiOpcode opcode) {
    return static_cast<uint32_t>(opcode) << 24;
}
inline constexpr uint32_t kSpiAddressMask = 0x00FFFFFF;
// Flash status register: bit 0 set while an erase or program runs.
inline constexpr uint32_t kFlashBusyBit = 1;
// Block-protect bits of the flash status: set, the flash refuses to erase and program.
inline constexpr uint32_t kFlashProtectBits = 0x1C;

}  // namespace chip
