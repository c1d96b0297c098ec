#include "flash/Controller.h"

#include "chip/ChipFacts.h"
#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "flash/MemoryKind.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

namespace {

using chip::kChipSelectBit;
using chip::kDataModeBase;
using chip::kWidthBits;
using chip::OpcodeWord;
constexpr int kNegotiationAttempts = 3;

void WriteShadow() {
    TargetWrite(Session().controller.ctrlRegister, Session().controller.ctrlShadow);
}

void SetShadowBits(uint32_t mask) {
    Session().controller.ctrlShadow |= mask;
    WriteShadow();
}

void ClearShadowBits(uint32_t mask) {
    Session().controller.ctrlShadow &= ~mask;
    WriteShadow();
}

// Command-mode control value for a command of n bytes.
uint32_t CommandControl(uint32_t width) {
    const TargetSession& s = Session();
    return s.controller.selectValue | ((width - 1) << s.controller.widthShift);
}

// Writes a zero status register, then reads it back; returns the status byte.
uint32_t WriteAndReadStatus() {
    const TargetSession& s = Session();
    TargetWrite(s.controller.ctrlRegister, CommandControl(2));
    TargetWrite(s.controller.txRegister, OpcodeWord(chip::kWriteStatus));
    TargetWrite(s.controller.ctrlRegister, s.controller.releaseValue);
    TargetWrite(s.controller.ctrlRegister, CommandControl(4));
    TargetWrite(s.controller.txRegister, OpcodeWord(chip::kReadStatus));
    const uint32_t value = TargetRead(s.controller.rxRegister);
    TargetWrite(s.controller.ctrlRegister, s.controller.releaseValue);
    return value >> 24;
}

void SendWriteEnable() {
    const TargetSession& s = Session();
    TargetWrite(s.controller.ctrlRegister, CommandControl(1));
    TargetWrite(s.controller.txRegister, OpcodeWord(chip::kWriteEnable));
    TargetWrite(s.controller.ctrlRegister, s.controller.releaseValue);
}

}  // namespace

chip::I2cBits& CurrentI2cBits() {
    return Session().controller.i2cBits;
}

void SendData(int32_t width, uint32_t word) {
    TargetSession& s = Session();
    if (width != s.controller.ctrlWidth) {
        s.controller.ctrlShadow =
            (s.controller.ctrlShadow & ~kWidthBits) | (static_cast<uint32_t>(width - 1) << chip::kWidthShift);
        WriteShadow();
        s.controller.ctrlWidth = width;
    }
    TargetWrite(s.controller.txRegister, word);
}

uint32_t ReceiveWord() {
    TargetSession& s = Session();
    if (s.controller.ctrlWidth != 4) {
        SetShadowBits(kWidthBits);
        s.controller.ctrlWidth = 4;
    }
    return TargetRead(s.controller.rxRegister);
}

void EndCommand() {
    TargetWrite(Session().controller.ctrlRegister, Session().controller.releaseValue);
}

void WaitControllerIdle() {
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    while (TargetRead(Session().controller.statusRegister) & chip::kControllerBusyBit) {
        if (clock.TickMs() - start >= kControllerBusyLimitMs) {
            ConsoleUi::instance().print(formatText(
                "Error: Memory controller still busy after %u milliseconds. Please check the board.\n",
                kControllerBusyLimitMs));
            fatalExit();
        }
    }
}

void SelectChip() {
    WaitControllerIdle();
    ClearShadowBits(kChipSelectBit);
}

void DeselectChip() {
    WaitControllerIdle();
    SetShadowBits(kChipSelectBit);
}

void I2cStop() {
    WaitControllerIdle();
    const uint32_t stop = 1u << CurrentI2cBits().stopBit;
    SetShadowBits(stop);
    ClearShadowBits(stop);
}

void I2cMarkLast(int32_t memoryKind) {
    if (!IsI2c(memoryKind)) return;
    SetShadowBits(1u << CurrentI2cBits().lastByteBit);
    Session().read.i2cLastMarked = true;
}

void PrepareMemory(int32_t memoryKind) {
    TargetSession& s = Session();
    s.controller.flashMutex.Wait(0);
    if (const chip::I2cBits* bits = KindRow(memoryKind).i2cBits) s.controller.i2cBits = *bits;
    if (IsEeprom(memoryKind)) {
        s.controller.ctrlShadow = kDataModeBase;
        WriteShadow();
    }
    if (IsSpiEeprom(memoryKind)) {
        DeselectChip();
    } else if (IsI2c(memoryKind)) {
        // Closes an I2C transfer a previous run may have left half-finished, as a write's end does.
        I2cStop();
        WaitWriteCycle();
        s.controller.flashMutex.Release();
    }
    s.controller.eepromSize =
        chip::StrapEepromBytes(TargetReadOn(chip::kStrapRegister, chip::kCurrentTarget));
    s.controller.flashMutex.Release();
}

void NegotiateFlash() {
    ConsoleUi& console = ConsoleUi::instance();
    for (int attempt = 0; attempt < kNegotiationAttempts; ++attempt) {
        const uint32_t status = WriteAndReadStatus();
        if (status == 0) return;
        console.print(
            formatText("Warning: Could not negotiate with serial flash. Write: %d, read: %d. Retrying...\n",
                       0, static_cast<int>(status)));
        if (attempt == kNegotiationAttempts - 1) {
            console.print(formatText(
                "Error: Could not negotiate with serial flash. Please check flash connectivity and "
                "proper strap pins configuration. Write: %d, read: %d\n",
                0, static_cast<int>(status)));
            platform::CurrentClock().SleepMs(1000);
            throw ProcessExit{-1};
        }
    }
}

void WriteEnable() {
    TargetSession& s = Session();
    SendWriteEnable();
    if (s.controller.flashNegotiated) return;
    NegotiateFlash();
    SendWriteEnable();
    s.controller.flashNegotiated = true;
}

void WaitWriteCycle() {
    platform::Clock& clock = platform::CurrentClock();
    const uint64_t start = clock.MicroSeconds();
    while (clock.MicroSeconds() - start < 5000) {
    }
}

FlashReady PollFlashReady(uint32_t timeoutMs) {
    const ControllerState& c = Session().controller;
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    TargetWrite(c.ctrlRegister, CommandControl(4));
    TargetWrite(c.txRegister, OpcodeWord(chip::kReadStatus));
    FlashReady result{false, 0, 0};
    bool last = false;
    while (!last) {
        last = clock.TickMs() - start >= timeoutMs;
        result.status = TargetRead(c.rxRegister);
        if ((result.status & chip::kFlashBusyBit) == 0) {
            result.ready = true;
            break;
        }
    }
    result.elapsedMs = clock.TickMs() - start;
    TargetWrite(c.ctrlRegister, c.releaseValue);
    return result;
}
