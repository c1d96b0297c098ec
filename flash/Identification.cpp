#include "flash/Identification.h"

#include <string>

#include "chip/ChipFacts.h"
#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "flash/Controller.h"
#include "flash/MemoryKind.h"
#include "link/BenchLink.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"

namespace {

using chip::kCurrentTarget;
constexpr uint32_t kFlashSize = 0x400000;
constexpr uint32_t kAddressSpace = 0x1000000;
// The longest the memory may stay busy for a run stopped in the middle of its work: a whole-chip
// erase, as long as the erase itself is waited for.
constexpr uint32_t kReadyLimitMs = 33000;
// A receive word of all ones: nothing drives the data line, there is no status to wait for.
constexpr uint32_t kNoAnswer = 0xFFFFFFFF;

void Print(const std::string& text) {
    ConsoleUi::instance().print(text);
}

std::string StrapBox(uint32_t strap) {
    std::string text = "\n*********************************************\n";
    text += "Error: can't determine EEPROM size, because strap pins are not configured correctly.\n";
    text += "Valid strap pins values are:\n";
    text += "2'b01 (EE_ADDRW1=0 EE_ADDRW0=1) - 64k\n";
    text += "2'b10 (EE_ADDRW1=1 EE_ADDRW0=0) - 128k.\n";
    text += formatText("Read value is = 2'b%s.\n", strap == 0 ? "00" : "11");
    text += "Assuming EEPROM size is 128k, and trying to go on...\n";
    text += "*********************************************\n\n";
    return text;
}

struct FlashIdRow {
    uint32_t id;
    const char* text;
    int32_t kind;
};

constexpr FlashIdRow kFlashIds[] = {
    {0x00, "Memory SPI serial flash.\n", KindSpiEeprom},
    {0x01, "Memory SPANSHAN serial flash.\n", KindSpansionFlash},
    {0x20, "Memory for Fiber (?) serial flash.\nMemory MACRONIX SPI serial flash.\n", KindMacronixFlash},
    {0x37, "Memory AMIC serial flash.\n", KindAmicFlash},
    {0xC2, "Memory MACRONIX SPI serial flash.\n", KindMacronixFlash},
    {0xFF, "Memory SPI serial flash.\n", KindSpiEeprom},
};

// A run killed or stopped during an erase leaves the flash erasing, for seconds; until it is done
// it answers every command but the status read with ones, which is what a memory without an id
// answers too. So the memory must be ready before anything else is asked of it.
void WaitMemoryReady() {
    const FlashReady first = PollFlashReady(0);
    if (first.ready || first.status == kNoAnswer) return;
    Print(
        formatText("The memory is busy (still erasing for a run that was stopped?): waiting up to %u "
                   "milliseconds for it to become ready.\n",
                   kReadyLimitMs));
    const FlashReady poll = PollFlashReady(kReadyLimitMs);
    if (poll.ready) return;
    Print(
        formatText("Error: the memory is still busy after %u milliseconds (status 0x%02x). Nothing was "
                   "written. Please check the board.\n",
                   poll.elapsedMs, poll.status & 0xFF));
    fatalExit();
}

int32_t DetectKind(int32_t chipType) {
    if (ReadStrapProtocol() == 2) {
        Print("Autodetect protocol: i2c.\n");
        return chipType == 1 ? KindOstralI2c : KindMarnelI2c;
    }
    if (chipType == 1) {
        Print("Detected SPI serial flash.\n");
        return KindSpiEeprom;
    }
    if (chipType == 2) {
        // Field at bits 13-22 becomes 2 so the sink chip routes its controller to the flash.
        const uint32_t config = TargetReadOn(chip::kSinkConfigRegister, kCurrentTarget);
        TargetWriteConfigRegister((config & 0xFF801FFF) | 0x4000);
    } else {
        TargetReadOn(chip::kSourceConfigRegister, kCurrentTarget);
    }
    WaitMemoryReady();
    return ReadFlashId();
}

// 1 Ostral, 2 Marnel sink, 3 Marnel source.
int32_t ChipTypeOf(uint32_t id) {
    if (chip::IsOstralId(id)) return 1;
    return 2 + chip::SideOfId(id);
}

}  // namespace

int32_t FindSide(int32_t side) {
    if (side != 0 && side != 1) return -1;
    const bool source = chip::IsSourceId(TargetReadOn(chip::kIdRegister, static_cast<uint8_t>(side)));
    if (side == 0) return source ? -1 : 0;
    return source ? 2 : -1;
}

int32_t ReadChipType() {
    return ChipTypeOf(TargetReadOn(chip::kIdRegister, kCurrentTarget));
}

int32_t ReadStrapProtocol() {
    return (TargetReadOn(chip::kStrapRegister, kCurrentTarget) & chip::kStrapI2cBit) ? 2 : 1;
}

int32_t ReadStrapSize() {
    const uint32_t strap = chip::StrapSizeField(TargetReadOn(chip::kStrapRegister, kCurrentTarget));
    if (strap == chip::kStrapSize64k) return 1;
    if (strap == chip::kStrapSize128k) return 2;
    Print(StrapBox(strap));
    return 2;
}

int32_t ReadFlashId() {
    const TargetSession& s = Session();
    platform::Clock& clock = platform::CurrentClock();
    TargetWrite(s.controller.ctrlRegister, s.controller.selectValue);
    clock.SleepMs(100);
    TargetWrite(s.controller.txRegister, chip::OpcodeWord(chip::kJedecId));
    clock.SleepMs(100);
    const uint32_t answer = TargetRead(s.controller.rxRegister);
    TargetWrite(s.controller.ctrlRegister, s.controller.releaseValue);

    const uint32_t id = answer >> 24;
    for (const FlashIdRow& row : kFlashIds) {
        if (row.id == id) {
            Print(row.text);
            return row.kind;
        }
    }
    Print(formatText("Warning: Unrecognized flash device type id: 0x%x!\n", id));
    return 0;
}

void IdentifyMemory(int32_t& memoryKind, int32_t side, int32_t& sizeSelection) {
    const int32_t found = FindSide(side);
    if (found == -1) {
        Print("Error: Could not find target. Please check board connectivity.\n");
        // Without a side nothing is looked for: the board may well be there.
        if (side != 0 && side != 1)
            Print(
                "No board side given: start the command with src or snk (e.g. Tolvar src u3 R 0 64), or "
                "name the image file after its side.\n");
        throw ProcessExit{-1};
    }
    TargetSession& s = Session();
    s.link.currentTarget = found == 2 ? 1 : 0;
    // Before the first command to the memory: a run on the same chip would interleave with it.
    HoldBenchChip(s.link.currentTarget);
    s.link.registerOffset = found == 2 ? 0 : chip::kSinkControllerOffset;

    const uint32_t id = TargetReadOn(chip::kIdRegister, kCurrentTarget);
    s.link.chipId = id;
    const int32_t chipType = ChipTypeOf(id);
    // A run stopped or killed in the middle of a command (a read left open by a failed block
    // compare, a burn killed halfway) leaves the flash selected: the next bytes would be taken as
    // its data. Releasing ends whatever is open; I2C and data-mode memories are reset by their
    // preparation.
    if (chipType != 1) EndCommand();
    if (memoryKind == KindUnknownFlash)
        memoryKind = DetectKind(chipType);
    else if (chipType != 1 && IsKnownKind(memoryKind) && !IsI2c(memoryKind))
        WaitMemoryReady();

    switch (IsKnownKind(memoryKind) ? KindRow(memoryKind).size : SizeRule::AddressSpace) {
        case SizeRule::Straps:
            // Every EEPROM, the Marnel I2C one too, is as large as its straps say: its last bytes
            // hold the update-section mark, and nothing may be written past them.
            sizeSelection = ReadStrapSize();
            s.controller.eepromSize = 1 << (sizeSelection + 15);
            s.controller.memorySize = static_cast<uint32_t>(s.controller.eepromSize);
            break;
        case SizeRule::Flash4MiB:
            sizeSelection = 2;
            s.controller.eepromSize = kFlashSize;
            s.controller.memorySize = kFlashSize;
            break;
        case SizeRule::AddressSpace:
            // An unknown flash is driven with 24-bit addresses.
            s.controller.memorySize = kAddressSpace;
            break;
    }
}
