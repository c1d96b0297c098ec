#include <gtest/gtest.h>

#include "flash/FlashDriver.h"
#include "tests/flash/FlashTestSupport.h"

namespace flashtest {
namespace {

struct IdentifyCase {
    const char* name;
    Side side;
    const char* setting;
    int32_t kind;
    int32_t sizeSelection;
    int32_t eepromSize;
    const char* printed;
};

const char* kBox00 =
    "\n*********************************************\n"
    "Error: can't determine EEPROM size, because strap pins are not configured correctly.\n"
    "Valid strap pins values are:\n"
    "2'b01 (EE_ADDRW1=0 EE_ADDRW0=1) - 64k\n"
    "2'b10 (EE_ADDRW1=1 EE_ADDRW0=0) - 128k.\n"
    "Read value is = 2'b00.\n"
    "Assuming EEPROM size is 128k, and trying to go on...\n"
    "*********************************************\n\n";

TEST(IdentifyMemory, DetectsEveryChipAndMemoryCombination) {
    const IdentifyCase cases[] = {
        {"marnel source macronix", Side::Source, "memory=mx25", 3, 2, 0x400000,
         "Memory MACRONIX SPI serial flash.\n"},
        {"marnel sink macronix", Side::Sink, "memory=mx25", 3, 2, 0x400000,
         "Memory MACRONIX SPI serial flash.\n"},
        {"marnel source amic", Side::Source, "memory=amic", 4, 2, 0x400000, "Memory AMIC serial flash.\n"},
        {"marnel sink spansion", Side::Sink, "memory=spansion", 5, 2, 0x400000,
         "Memory SPANSHAN serial flash.\n"},
        {"marnel source id 0x20", Side::Source, "memory=flash20", 3, 2, 0x400000,
         "Memory for Fiber (?) serial flash.\nMemory MACRONIX SPI serial flash.\n"},
        {"marnel without memory", Side::Source, "memory=none", 1, 2, 0x20000, "Memory SPI serial flash.\n"},
        {"marnel spi eeprom 64k", Side::Sink, "memory=spi-eeprom,size=64k", 1, 1, 0x10000,
         "Memory SPI serial flash.\n"},
        {"ostral spi eeprom 128k", Side::Source, "family=ostral,memory=spi-eeprom,size=128k", 1, 2, 0x20000,
         "Detected SPI serial flash.\n"},
        {"ostral spi flash", Side::Sink, "family=ostral,memory=mx25", 1, 2, 0x20000,
         "Detected SPI serial flash.\n"},
        {"ostral i2c 64k", Side::Sink, "family=ostral,memory=i2c-eeprom,size=64k", 2, 1, 0x10000,
         "Autodetect protocol: i2c.\n"},
        {"ostral i2c 128k", Side::Source, "family=ostral,memory=i2c-eeprom,size=128k", 2, 2, 0x20000,
         "Autodetect protocol: i2c.\n"},
        {"marnel i2c 64k", Side::Source, "memory=i2c-eeprom,size=64k", 8, 1, 0x10000,
         "Autodetect protocol: i2c.\n"},
        {"marnel sink i2c 128k", Side::Sink, "memory=i2c-eeprom,size=128k", 8, 2, 0x20000,
         "Autodetect protocol: i2c.\n"},
    };
    for (const IdentifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int target = static_cast<int>(c.side);
        BoardSession bench(Chip(Side::Sink, target == 0 ? c.setting : ""),
                           Chip(Side::Source, target == 1 ? c.setting : ""));
        const int32_t kind = bench.Identify(target);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(bench.SizeSelection(), c.sizeSelection);
        EXPECT_EQ(Session().controller.eepromSize, c.eepromSize);
        EXPECT_EQ(Session().link.currentTarget, target == 1 ? 1u : 0u);
        EXPECT_EQ(Session().link.registerOffset, target == 1 ? 0 : -12);
        EXPECT_EQ(bench.Output(), c.printed);
        bench.ExpectCleanAudit();
    }
}

TEST(IdentifyMemory, InvalidStrapsPrintTheBoxAndAssume128k) {
    for (const char* straps : {"0x00", "0xc0"}) {
        SCOPED_TRACE(straps);
        BoardSession bench(
            Chip(Side::Sink),
            Chip(Side::Source, std::string("family=ostral,memory=spi-eeprom,straps=") + straps));
        EXPECT_EQ(bench.Identify(1), 1);
        EXPECT_EQ(bench.SizeSelection(), 2);
        std::string box = kBox00;
        if (std::string(straps) == "0xc0") box.replace(box.find("2'b00"), 5, "2'b11");
        EXPECT_EQ(bench.Output(), "Detected SPI serial flash.\n" + box);
    }
}

TEST(IdentifyMemory, KindGivenIsKeptAndSizeComesFromTheStraps) {
    BoardSession bench(Chip(Side::Sink), Chip(Side::Source, "family=ostral,memory=spi-eeprom,size=128k"));
    bench.Connect(1);
    int32_t kind = 1;
    int32_t size = 1;  // "64k" on the command line
    IdentifyMemory(kind, 1, size);
    EXPECT_EQ(kind, 1);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(bench.Output(), "");
}

TEST(IdentifyMemory, FlashKindGivenGetsTheFlashSize) {
    BoardSession bench;
    bench.Connect(1);
    int32_t kind = 5;
    int32_t size = 1;
    IdentifyMemory(kind, 1, size);
    EXPECT_EQ(kind, 5);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(Session().controller.eepromSize, 0x400000);
}

TEST(IdentifyMemory, SinkChipGetsItsFlashRoutedThroughTheConfigRegister) {
    BoardSession bench;
    bench.Target(0).WriteRegister(0x8000018c, 0xFFFFFFFF);
    EXPECT_EQ(bench.Identify(0), 3);
    EXPECT_EQ(bench.Target(0).ReadRegister(0x8000018c), 0xFF805FFFu);
}

TEST(IdentifyMemory, RequestedSideAbsentStopsWithoutPause) {
    struct Case {
        int port;
        int side;
    } cases[] = {{1, 0}, {0, 1}, {1, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.side);
        BoardSession bench;
        bench.Connect(c.port);
        int32_t kind = 0;
        int32_t size = 0;
        EXPECT_EQ(BoardSession::Run([&] { IdentifyMemory(kind, c.side, size); }), -1);
        // A side that is no side is said to be missing: the board may well be there.
        const std::string noSide = c.side == 7
                                       ? "No board side given: start the command with src or snk (e.g. "
                                         "Tolvar src u3 R 0 64), or name the image file after its side.\n"
                                       : "";
        EXPECT_EQ(bench.Output(),
                  "Error: Could not find target. Please check board connectivity.\n" + noSide);
        EXPECT_EQ(bench.ErrorPauses(), 0);
    }
}

// The erase commands of a run killed right after sending them: nothing waits for the flash.
void StartEraseAndLeave(bool wholeChip) {
    const ControllerState& s = Session().controller;
    WriteEnable();
    TargetWrite(s.ctrlRegister, s.selectValue | ((wholeChip ? 0u : 3u) << s.widthShift));
    TargetWrite(s.txRegister, wholeChip ? 0xC7000000u : kBlockEraseWord | 0x10000u);
    TargetWrite(s.ctrlRegister, s.releaseValue);
}

TEST(IdentifyMemory, NextRunWaitsForTheEraseOfAKilledRun) {
    const char* const kBusy =
        "The memory is busy (still erasing for a run that was stopped?): waiting up to 33000 milliseconds "
        "for it to become ready.\n";
    const struct {
        const char* memory;
        int32_t kind;
        const char* text;
    } memories[] = {
        {"memory=mx25", 3, "Memory MACRONIX SPI serial flash.\n"},
        {"memory=amic", 4, "Memory AMIC serial flash.\n"},
        {"memory=spansion", 5, "Memory SPANSHAN serial flash.\n"},
        {"memory=flash20", 3, "Memory for Fiber (?) serial flash.\nMemory MACRONIX SPI serial flash.\n"}};
    for (const auto& m : memories) {
        for (const bool wholeChip : {false, true}) {
            for (const int target : {1, 0}) {
                SCOPED_TRACE(std::string(m.memory) + (wholeChip ? " chip" : " block") + " target " +
                             std::to_string(target));
                BoardSession bench(Chip(Side::Sink, m.memory), Chip(Side::Source, m.memory));
                bench.Identify(target);
                std::vector<uint8_t>& memory = bench.Memory(target);
                std::fill(memory.begin(), memory.end(), 0x5A);
                StartEraseAndLeave(wholeChip);
                // The next run, at once.
                ResetTargetSession();
                bench.ClearOutput();
                EXPECT_EQ(bench.Identify(target), m.kind);
                EXPECT_EQ(bench.Output(), kBusy + std::string(m.text));
                for (size_t at = 0; at < memory.size(); ++at) {
                    const bool erased = wholeChip || (at >= 0x10000 && at < 0x20000);
                    if (memory[at] != (erased ? 0xFF : 0x5A)) {
                        ADD_FAILURE() << "byte at " << std::hex << at;
                        break;
                    }
                }
                bench.ExpectCleanAudit();
            }
        }
    }
}

TEST(IdentifyMemory, MemoryNeverReadyStopsBeforeAnyCommand) {
    for (const int32_t given : {0, 3, 1}) {
        SCOPED_TRACE(given);
        BoardSession bench;
        bench.Identify(1);
        bench.AddFault("never");
        StartEraseAndLeave(false);
        ResetTargetSession();
        bench.ClearOutput();
        bench.Connect(1);
        int32_t kind = given;
        int32_t size = 0;
        EXPECT_EQ(BoardSession::Run([&] { IdentifyMemory(kind, 1, size); }), -1);
        EXPECT_NE(bench.Output().find("Error: the memory is still busy after 33"), std::string::npos)
            << bench.Output();
        EXPECT_EQ(bench.ErrorPauses(), 1);
        // Nothing but status reads reached the busy memory.
        bench.ExpectCleanAudit();
    }
}

TEST(ReadChipType, ClassifiesTheIdentificationRegister) {
    const struct {
        const char* id;
        int32_t type;
    } cases[] = {
        {"0x01000025", 1}, {"0x00000000", 1}, {"0x00010000", 2}, {"0x01010000", 3}, {"0x00000040", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        BoardSession bench(Chip(Side::Sink), Chip(Side::Source, std::string("id=") + c.id));
        bench.Connect(1);
        Session().link.currentTarget = 1;
        EXPECT_EQ(ReadChipType(), c.type);
    }
}

TEST(PreBurnRead, ReadsTheVersionRegisterOfMarnelChipsOnly) {
    const struct {
        Side side;
        const char* setting;
        uint32_t expected;
    } cases[] = {{Side::Source, "version=0x39200001", 0x39200001},
                 {Side::Sink, "version=0x39100007", 0x39100007},
                 {Side::Source, "family=ostral,memory=spi-eeprom,version=0x20000005", 0}};
    for (const auto& c : cases) {
        const int target = static_cast<int>(c.side);
        BoardSession bench(Chip(Side::Sink, target == 0 ? c.setting : ""),
                           Chip(Side::Source, target == 1 ? c.setting : ""));
        bench.Identify(target);
        EXPECT_EQ(PreBurnRead(), c.expected);
    }
}

}  // namespace
}  // namespace flashtest
