#include "flash/Erase.h"

#include <algorithm>
#include <string>

#include "chip/ChipFacts.h"
#include "console/ConsoleUi.h"
#include "flash/Controller.h"
#include "flash/MemoryKind.h"
#include "flash/ProgramRead.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

namespace {

constexpr uint32_t kChipEraseTimeoutMs = 33000;
constexpr uint32_t kChipEraseMinimumMs = 1000;
constexpr uint32_t kUnitEraseTimeoutMs = 3000;
constexpr uint32_t kEepromEraseMs = 10100;
constexpr uint64_t kAddressSpaceEnd = uint64_t{1} << 32;

void Print(const std::string& text) {
    ConsoleUi::instance().print(text);
}

// Sends a one-byte SPI command with the chip selected by the data-mode control value.
void SendEepromCommand(uint32_t command) {
    SelectChip();
    SendData(1, command);
    DeselectChip();
}

void EraseSpiEeprom() {
    // A stand-alone erase (letter E) comes before any preparation: without it the control values
    // would be built on 0 instead of the data-mode base and the erase would not reach the chip.
    PrepareMemory(KindSpiEeprom);
    Print("Erasing serial flash....\n");
    SendEepromCommand(chip::OpcodeWord(chip::kWriteEnable));
    SendEepromCommand(chip::OpcodeWord(chip::kChipErase));
    platform::CurrentClock().SleepMs(kEepromEraseMs);
    Print("Done.\n");
}

bool EraseSpiFlash() {
    const TargetSession& s = Session();
    WriteEnable();
    Print("Erasing serial flash....\n");
    TargetWrite(s.controller.ctrlRegister, s.controller.selectValue);
    TargetWrite(s.controller.txRegister, chip::OpcodeWord(chip::kChipErase));
    TargetWrite(s.controller.ctrlRegister, s.controller.releaseValue);
    return WaitChipReady(kChipEraseTimeoutMs, kChipEraseMinimumMs, "Successfully erased chip in ") !=
           ChipWait::TimedOut;
}

// The mark lies 16 bytes before the end of the memory that identification found; the size
// selection only stands in where nothing was identified.
uint32_t UpdateMarkAddress(int32_t sizeSelection) {
    const uint32_t size = Session().controller.memorySize;
    if (size >= 0x10000 && size <= 0x20000) return size - 16;
    return sizeSelection == 2 ? 0x1FFF0 : 0xFFF0;
}

// One word read back, its byte marked as the last of the read.
uint32_t ReadOneWord(uint32_t address, int32_t memoryKind) {
    StartRead(memoryKind, address, false);
    I2cMarkLast(memoryKind);
    const uint32_t word = ReadWord(memoryKind);
    CloseRead(memoryKind);
    return word;
}

}  // namespace

ChipWait WaitChipReady(uint32_t timeoutMs, uint32_t minimumMs, const char* text) {
    const FlashReady poll = PollFlashReady(timeoutMs);
    if (!poll.ready) {
        Print(formatText(
            "Timeout waiting %d milliseconds for chip ready. Erase failed. Trying to continue...\n\n",
            static_cast<int>(timeoutMs)));
        return ChipWait::TimedOut;
    }
    const uint32_t status = poll.status & 0xFF;
    if (status & chip::kFlashProtectBits) {
        // Protected after the negotiation cleared it: whatever the erase did, the flash now refuses
        // to erase and to program, and a burn would end over memory it never wrote.
        Print(
            formatText("Error: the memory reports itself write protected (status 0x%02x): it refuses to "
                       "erase and to program. Stopping.\n",
                       status));
        fatalExit();
    }
    if (poll.elapsedMs < minimumMs) {
        Print(
            formatText("Wait for busy bit failed and returned too quickly (%d ms). Wait full %d milliseconds "
                       "instead.\n",
                       static_cast<int>(poll.elapsedMs), static_cast<int>(timeoutMs)));
        platform::CurrentClock().SleepMs(timeoutMs - poll.elapsedMs);
        Print("Finished waiting for chip ready. Trying to continue...\n\n");
        return ChipWait::TooQuick;
    }
    if (text != nullptr && *text != '\0')
        Print(formatText("%s %d milliseconds.\n\n", text, static_cast<int>(poll.elapsedMs)));
    return ChipWait::Ready;
}

bool EraseChip(int32_t memoryKind) {
    switch (KindRow(memoryKind).erase) {
        case EraseStyle::DataModeChip:
            EraseSpiEeprom();
            return true;
        case EraseStyle::SectorsAndBlocks:
            return EraseSpiFlash();
        default:
            Print(formatText("Can't erase unknown device: %#x\n", static_cast<unsigned>(memoryKind)));
            fatalExit();
    }
}

bool EraseSingleSectorOrBlock(int32_t memoryKind, uint32_t address, uint32_t transmitWord) {
    if (IsEeprom(memoryKind)) {
        Print("EraseSingleSectorOrBlock is not implemented for current flash chip type");
        return true;
    }
    if (!IsSpiFlash(memoryKind)) {
        Print(formatText("Can't erase unknown device: %d\n", memoryKind));
        return true;
    }
    TargetSession& s = Session();
    s.controller.workAddress = address;
    WriteEnable();
    TargetWrite(s.controller.ctrlRegister, s.controller.selectValue | (3u << s.controller.widthShift));
    // The address has 24 bits; more would change the opcode.
    TargetWrite(s.controller.txRegister, transmitWord | (address & chip::kSpiAddressMask));
    TargetWrite(s.controller.ctrlRegister, s.controller.releaseValue);
    return WaitChipReady(kUnitEraseTimeoutMs, 0, "") != ChipWait::TimedOut;
}

bool EraseRange(uint32_t start, uint32_t unit, int32_t memoryKind, uint32_t length, uint32_t transmitWord) {
    if (unit == 0) return true;
    bool erased = true;
    const auto eraseUnit = [&](uint32_t address) {
        erased = EraseSingleSectorOrBlock(memoryKind, address, transmitWord) && erased;
    };
    const uint32_t headOffset = start % unit;
    uint64_t next = start;
    if (headOffset != 0) {
        eraseUnit(start);
        next = uint64_t{start} - headOffset + unit;
    }
    // In 64 bits, ending at the top of the address space: a range reaching past it must not wrap
    // round and erase the units at address 0.
    const uint64_t end = std::min(uint64_t{start} + length, kAddressSpaceEnd);
    const uint64_t tailOffset = end % unit;
    const uint64_t last = end - tailOffset;
    for (; next < last; next += unit) eraseUnit(static_cast<uint32_t>(next));
    const bool tailIsHead = headOffset != 0 && start - headOffset == last;
    if (tailOffset != 0 && !tailIsHead) eraseUnit(static_cast<uint32_t>(last));
    return erased;
}

bool EraseSectors(int32_t memoryKind, uint32_t start, uint32_t length) {
    return EraseRange(start, kSectorSize, memoryKind, length, kSectorEraseWord);
}

void EraseUpdateSection(int32_t sizeSelection, int32_t memoryKind) {
    Print("Erasing update section from I2C Eeprom....");
    PrepareMemory(memoryKind);
    const uint32_t address = UpdateMarkAddress(sizeSelection);
    StartWrite(address, memoryKind);
    WriteWord(memoryKind, 0);
    EndWrite(memoryKind);
    // A part that does not answer leaves the mark as it was without any error on the way.
    const uint32_t mark = ReadOneWord(address, memoryKind);
    if (mark != 0) {
        Print(formatText("\nError: the update-section mark at 0x%x reads 0x%08x after clearing it.\n",
                         address, mark));
        fatalExit();
    }
    Print("Done.\n");
}
