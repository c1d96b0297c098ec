#include "flash/ProgramRead.h"

#include <algorithm>
#include <optional>
#include <string>

#include "chip/ChipFacts.h"
#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "flash/Controller.h"
#include "flash/Identification.h"
#include "flash/MemoryKind.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

namespace {

using chip::kDataModeBase;
using chip::kReadPhaseBit;
using chip::kWidthBits;
using chip::OpcodeWord;
constexpr uint32_t kReadCloseMs = 6;
constexpr uint32_t kLockWaitMs = 3000;
constexpr uint64_t kI2cBlockBytes = 0x10000;

void WriteShadow() {
    TargetWrite(Session().controller.ctrlRegister, Session().controller.ctrlShadow);
}

// The device byte names the 64 KiB half; its low bit asks for a read.
uint32_t I2cDeviceByte(int32_t kind, uint32_t address, bool read) {
    const MemoryKindRow& row = KindRow(kind);
    const uint32_t device = address > 0xFFFF ? row.i2cDeviceHigh : row.i2cDeviceLow;
    return read ? device | 1 : device;
}

// Two address bytes for memories up to 64 KiB, three above.
void SendEepromAddress(uint32_t address) {
    if (Session().controller.eepromSize <= 0x10000) {
        SendData(2, address << 16);
    } else {
        SendData(3, address << 8);
    }
}

// Opens a command-mode program or read with a 24-bit address; the command stays open.
void OpenFlashCommand(uint32_t opcode, uint32_t address) {
    const TargetSession& s = Session();
    TargetWrite(s.controller.ctrlRegister, s.controller.selectValue | (3u << s.controller.widthShift));
    TargetWrite(s.controller.txRegister, opcode | (address & chip::kSpiAddressMask));
}

void SendWriteDisable() {
    const TargetSession& s = Session();
    TargetWrite(s.controller.ctrlRegister, s.controller.selectValue);
    TargetWrite(s.controller.txRegister, OpcodeWord(chip::kWriteDisable));
    TargetWrite(s.controller.ctrlRegister, s.controller.releaseValue);
}

void StartI2cRead(int32_t kind, uint32_t address, bool fast) {
    TargetSession& s = Session();
    SendData(1, I2cDeviceByte(kind, address, false) << 24);
    SendData(2, address << 16);
    I2cStop();
    if (KindRow(kind).i2cReadPhase) {
        s.controller.ctrlShadow |= kReadPhaseBit;
        WriteShadow();
    }
    SendData(1, I2cDeviceByte(kind, address, true) << 24);
    s.read.i2cLastMarked = false;
    if (fast) {
        s.controller.ctrlShadow |= kWidthBits;
        WriteShadow();
    }
}

void CloseI2cRead(int32_t kind) {
    TargetSession& s = Session();
    if (!s.read.i2cLastMarked) {
        // The EEPROM lets go of the bus only after a read byte marked as the last.
        I2cMarkLast(kind);
        ReceiveWord();
    }
    s.controller.ctrlShadow &= ~(1u << CurrentI2cBits().lastByteBit);
    if (KindRow(kind).i2cReadPhase) {
        s.controller.ctrlShadow &= ~kReadPhaseBit;
        WriteShadow();
    }
}

// One word of the open read; empty when its answer was lost.
std::optional<uint32_t> ReadStreamWord(int32_t kind) {
    TargetSession& s = Session();
    if (IsEeprom(kind) && s.controller.ctrlWidth != 4) {
        s.controller.ctrlShadow |= kWidthBits;
        WriteShadow();
        s.controller.ctrlWidth = 4;
    }
    return TargetReadOnce(s.controller.rxRegister);
}

std::string FormatWordHex(uint32_t value, int digits) {
    char text[100];
    // The precision pads with zeros to at least the given digits.
    formatBounded(text, sizeof text, "%*.*x", digits, digits, value);
    return text;
}

}  // namespace

void StartWrite(uint32_t address, int32_t memoryKind) {
    TargetSession& s = Session();
    s.controller.flashMutex.Wait(0);
    s.controller.ctrlShadow |= kWidthBits;
    WriteShadow();
    s.controller.ctrlWidth = 4;
    if (IsSpiEeprom(memoryKind)) {
        SelectChip();
        SendData(1, OpcodeWord(chip::kWriteEnable));
        DeselectChip();
        SelectChip();
        SendData(1, OpcodeWord(chip::kPageProgram));
        SendEepromAddress(address);
    } else if (IsI2c(memoryKind)) {
        s.controller.ctrlShadow = kDataModeBase;
        WriteShadow();
        SendData(1, I2cDeviceByte(memoryKind, address, false) << 24);
        SendData(2, address << 16);
    } else {
        WriteEnable();
        OpenFlashCommand(OpcodeWord(chip::kPageProgram), address);
    }
    s.fast.pending = 0;
    s.controller.flashMutex.Release();
}

void WriteWord(int32_t memoryKind, uint32_t word) {
    if (IsEeprom(memoryKind)) {
        SendData(4, word);
    } else if (IsSpiFlash(memoryKind)) {
        TargetWrite(Session().controller.txRegister, word);
    }
}

void EndWrite(int32_t memoryKind) {
    TargetSession& s = Session();
    if (s.fast.pending > 0) FlushFastBurn();
    if (IsSpiEeprom(memoryKind)) {
        DeselectChip();
        WaitWriteCycle();
    } else if (IsI2c(memoryKind)) {
        I2cStop();
        WaitWriteCycle();
    } else {
        EndCommand();
        WaitWriteCycle();
        SendWriteDisable();
    }
    s.fast.pending = 0;
    s.controller.flashMutex.Release();
}

void FlushFastBurn() {
    TargetSession& s = Session();
    s.controller.flashMutex.Wait(kLockWaitMs);
    if (s.controller.ctrlWidth != 4) {
        s.controller.ctrlShadow |= kWidthBits;
        WriteShadow();
        s.controller.ctrlWidth = 4;
    }
    TargetQuickBurn(s.fast.pending);
    s.fast.pending = 0;
}

void StartRead(int32_t memoryKind, uint32_t address, bool fast) {
    TargetSession& s = Session();
    s.controller.flashMutex.Wait(0);
    // A word read before the read opens clears what the receive register still holds.
    if (IsSpiEeprom(memoryKind)) {
        ReceiveWord();
    } else if (!IsI2c(memoryKind)) {
        TargetRead(s.controller.rxRegister);
    }
    s.read.address = address;
    s.read.fast = fast;
    s.read.kind = memoryKind;
    if (IsSpiEeprom(memoryKind)) {
        s.controller.ctrlShadow = kDataModeBase;
        SelectChip();
        SendData(1, OpcodeWord(chip::kReadData));
        SendEepromAddress(address);
    } else if (IsI2c(memoryKind)) {
        StartI2cRead(memoryKind, address, fast);
    } else {
        if (fast && IsSpiFlash(memoryKind)) EndCommand();
        OpenFlashCommand(OpcodeWord(chip::kReadData), address);
    }
}

// Every read of the receive register takes the next word from the memory, so a read whose
// answer was lost is never sent again as it is: the read is opened anew at the lost word.
uint32_t ReadWord(int32_t memoryKind) {
    TargetSession& s = Session();
    s.controller.flashMutex.Wait(0);
    std::optional<uint32_t> word = ReadStreamWord(memoryKind);
    if (!word) {
        const uint32_t lost = s.read.address;
        CloseRead(memoryKind);
        StartRead(memoryKind, lost, s.read.fast);
        word = ReadStreamWord(memoryKind);
    }
    if (!word) {
        ConsoleUi::instance().print(formatText(
            "Error: no answer from the memory at address 0x%x, twice. Stopping.\n", s.read.address));
        CloseRead(memoryKind);
        fatalExit();
    }
    s.read.address += 4;
    return *word;
}

void CloseRead(int32_t kind) {
    if (IsSpiEeprom(kind)) {
        DeselectChip();
        platform::CurrentClock().SleepMs(kReadCloseMs);
    } else if (IsI2c(kind)) {
        CloseI2cRead(kind);
    } else {
        EndCommand();
        platform::CurrentClock().SleepMs(kReadCloseMs);
    }
    Session().controller.flashMutex.Release();
}

void CheckFastPending() {
    TargetSession& s = Session();
    if (!TargetQuickVerify(s.fast.pending)) {
        ConsoleUi::instance().print(
            formatText("\r\n Quick Verifiyng Failed at address %08x\r\n", s.read.address));
        s.fast.pending = 0;
        CloseRead(s.read.kind);
        throw ProcessExit{-1};
    }
    s.read.address += s.fast.pending;
    s.fast.pending = 0;
}

uint8_t FastPending() {
    return Session().fast.pending;
}

void QueueFastBytes(const uint8_t* bytes, size_t count) {
    TargetSession& s = Session();
    // Bytes left out would go unchecked: a caller's mistake stops the run instead.
    if (count > kBlockBufferSize - s.fast.pending) {
        throw CxExceptionError(formatText("%zu bytes do not fit the fast block", count), -1);
    }
    std::copy_n(bytes, count, s.fast.buffer.begin() + s.fast.pending);
    s.fast.pending = static_cast<uint8_t>(s.fast.pending + count);
}

bool VerifyFastPending() {
    TargetSession& s = Session();
    const bool same = TargetQuickVerify(s.fast.pending);
    s.read.address += s.fast.pending;
    s.fast.pending = 0;
    return same;
}

void QueueFastWord(uint32_t word, bool verify) {
    TargetSession& s = Session();
    if (s.fast.pending + 4u > kBlockBufferSize) {
        if (verify) {
            CheckFastPending();
        } else {
            FlushFastBurn();
        }
    }
    for (int shift = 24; shift >= 0; shift -= 8)
        s.fast.buffer[s.fast.pending++] = static_cast<uint8_t>(word >> shift);
}

void ReadMemory(uint32_t start, int32_t wordCount, bool print, uint32_t* out, int32_t memoryKind) {
    TargetSession& s = Session();
    ConsoleUi& console = ConsoleUi::instance();
    s.controller.flashMutex.Wait(kLockWaitMs);
    console.print("Reading eprom...\n");
    PrepareMemory(memoryKind);
    if (wordCount <= 0) {
        s.controller.flashMutex.Release();
        return;
    }
    std::string line;
    ReadWordRange(start, static_cast<uint32_t>(wordCount), memoryKind, [&](uint32_t j, uint32_t word) {
        if (out != nullptr) out[j] = word;
        if (!print) return;
        if (j % 4 == 0) line = FormatWordHex(start + 4u * j, 5) + ":\t";
        line += FormatWordHex(word, 8) + "\t";
        if (j % 4 == 3) console.print(line + "\n");
    });
    if (print && wordCount % 4 != 0) console.print(line + "\n");
    s.controller.flashMutex.Release();
}

void ReadWordRange(uint32_t start, uint32_t wordCount, int32_t memoryKind,
                   const std::function<void(uint32_t index, uint32_t word)>& each) {
    const uint64_t end = start + uint64_t{wordCount} * 4;
    uint32_t index = 0;
    for (uint64_t at = start; at < end;) {
        // An I2C EEPROM's sequential read does not leave its 64 KiB block: one read per block.
        const uint64_t to =
            IsI2c(memoryKind) ? std::min(end, (at / kI2cBlockBytes + 1) * kI2cBlockBytes) : end;
        StartRead(memoryKind, static_cast<uint32_t>(at), false);
        for (; at < to; at += 4) {
            if (at + 4 >= to) I2cMarkLast(memoryKind);
            each(index++, ReadWord(memoryKind));
        }
        CloseRead(memoryKind);
    }
}

uint32_t PreBurnRead() {
    switch (ReadChipType()) {
        case 2:
            return TargetReadOn(chip::kSinkVersionRegister, chip::kCurrentTarget);
        case 3:
            return TargetReadOn(chip::kSourceVersionRegister, chip::kCurrentTarget);
        default:
            return 0;
    }
}
