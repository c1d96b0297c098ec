// Every memory kind driven the way the tool drives it, over the debug port; a correct sequence
// writes and reads back the data and leaves the audit empty.
#include <gtest/gtest.h>

#include "board/BoardPair.h"
#include "platform/Clock.h"
#include "tests/board/ToolModel.h"

namespace board {
namespace {

using test::PortAccess;
using test::ToolModel;

struct KindCase {
    const char* name;
    Side side;
    const char* setting;
    int kind;
    uint32_t eepromSize;
    uint32_t start;
};

const KindCase kKinds[] = {
    {"mx25 source", Side::Source, "", 3, 0x400000, 0x1FF80},
    {"amic sink", Side::Sink, "memory=amic", 4, 0x400000, 0x7F80},
    {"spansion source", Side::Source, "memory=spansion", 5, 0x400000, 0x100},
    {"flash20 sink", Side::Sink, "memory=flash20", 3, 0x400000, 0x3FFE00},
    {"spi-eeprom 64k", Side::Source, "memory=spi-eeprom,size=64k", 1, 0x10000, 0xFE00},
    {"spi-eeprom 128k", Side::Sink, "memory=spi-eeprom,size=128k", 1, 0x20000, 0xFF80},
    {"i2c ostral 64k", Side::Source, "family=ostral,memory=i2c-eeprom,size=64k", 2, 0x10000, 0xFE00},
    {"i2c ostral 128k", Side::Sink, "family=ostral,memory=i2c-eeprom,size=128k", 2, 0x20000, 0xFF80},
    {"i2c marnel 128k", Side::Source, "memory=i2c-eeprom,size=128k", 8, 0x400000, 0xFF80},
};

struct Rig {
    platform::VirtualClock clock;
    platform::ScopedClock scoped{clock};
    std::unique_ptr<BoardPair> pair;
    std::unique_ptr<platform::ByteDevice> port;
    std::unique_ptr<PortAccess> access;
    std::unique_ptr<ToolModel> tool;

    explicit Rig(const KindCase& c) {
        ChipConfig config = DefaultChipConfig(c.side);
        std::string error;
        EXPECT_TRUE(ParseChipSpec(c.setting, config, error)) << error;
        ChipConfig other = DefaultChipConfig(c.side == Side::Source ? Side::Sink : Side::Source);
        pair = c.side == Side::Source ? std::make_unique<BoardPair>(other, config)
                                      : std::make_unique<BoardPair>(config, other);
        int target = static_cast<int>(c.side);
        port = pair->OpenDebugPort(target);
        access = std::make_unique<PortAccess>(*port);
        tool =
            std::make_unique<ToolModel>(*access, pair->Target(target).ControllerBase(), c.kind, c.eepromSize);
    }
    Chip& Target(const KindCase& c) { return pair->Target(static_cast<int>(c.side)); }
};

uint32_t Pattern(uint32_t address) {
    return (address * 2654435761u) ^ 0x5A000000;
}

std::vector<uint8_t> Bytes(uint32_t word) {
    return {uint8_t(word >> 24), uint8_t(word >> 16), uint8_t(word >> 8), uint8_t(word)};
}

TEST(MemoryKinds, WordWritesReadBackWithoutAuditFindings) {
    for (const KindCase& c : kKinds) {
        Rig rig(c);
        rig.tool->PrepareMemory();
        for (uint32_t page = c.start; page < c.start + 512; page += 128) {
            rig.tool->StartWrite(page);
            for (uint32_t a = page; a < page + 128; a += 4) rig.tool->WriteWord(Pattern(a));
            rig.tool->EndWrite();
        }
        std::vector<uint8_t>& mem = rig.Target(c).MemoryBytes();
        for (uint32_t a = c.start; a < c.start + 512; a += 4)
            ASSERT_EQ(std::vector<uint8_t>(mem.begin() + a, mem.begin() + a + 4), Bytes(Pattern(a)))
                << c.name << " at " << std::hex << a;
        EXPECT_EQ(mem[c.start - 1], 0xFF) << c.name;
        EXPECT_EQ(mem[(c.start + 512) % mem.size()], 0xFF) << c.name;

        std::vector<uint32_t> words = rig.tool->ReadWords(c.start, 128);
        for (uint32_t i = 0; i < 128; ++i)
            ASSERT_EQ(words[i], Pattern(c.start + 4 * i)) << c.name << " word " << i;
        rig.pair->EndSession();
        EXPECT_TRUE(rig.pair->AuditEntries().empty()) << c.name << "\n" << rig.pair->AuditReport();
    }
}

TEST(MemoryKinds, FastBlocksBurnAndVerify) {
    for (const KindCase& c : kKinds) {
        if (c.kind == 1 || c.kind == 2) continue;  // fast transfer is for flash and Marnel I2C
        Rig rig(c);
        rig.tool->PrepareMemory();
        std::vector<uint8_t> block;
        for (uint32_t a = c.start; a < c.start + 128; a += 4)
            for (uint8_t b : Bytes(Pattern(a))) block.push_back(b);
        rig.tool->StartWrite(c.start);
        rig.tool->FlushFastBurn(*rig.access, block);
        rig.tool->EndWrite();
        std::vector<uint8_t>& mem = rig.Target(c).MemoryBytes();
        EXPECT_EQ(std::vector<uint8_t>(mem.begin() + c.start, mem.begin() + c.start + 128), block) << c.name;

        rig.tool->StartRead(c.start, true);
        std::vector<uint8_t> half(block.begin(), block.begin() + 64);
        EXPECT_EQ(rig.access->Block('T', half), "\r\nPass\r\nReady\r\n") << c.name;
        std::vector<uint8_t> wrong(block.begin() + 64, block.end());
        wrong[17] ^= 1;
        EXPECT_EQ(rig.access->Block('T', wrong), "\r\nFail\r\nReady\r\n") << c.name;
        rig.tool->EndRead();
        rig.pair->EndSession();
        EXPECT_TRUE(rig.pair->AuditEntries().empty()) << c.name << "\n" << rig.pair->AuditReport();
    }
}

// A write that runs past the end of its page wraps round to the page's start on the part: the
// cells land elsewhere than their addresses say, so the board names it.
TEST(MemoryKinds, AnI2cWriteWrappingRoundItsPageIsAudited) {
    Rig rig(kKinds[6]);
    rig.tool->PrepareMemory();
    rig.tool->StartWrite(0x7C);
    rig.tool->WriteWord(0x01020304);
    rig.tool->WriteWord(0x05060708);
    rig.tool->EndWrite();
    EXPECT_EQ(rig.Target(kKinds[6]).MemoryBytes()[0], 0x05);
    EXPECT_EQ(rig.pair->AuditEntries(),
              std::vector<std::string>{"source: I2C page write wrapping round its 128-byte page at 0x00000"});
}

// Bus traffic of the tool's documented register sequences.
TEST(MemoryKinds, RegisterSequencesGiveTheExpectedBusBytes) {
    struct Case {
        const char* name;
        int kindCase;  // index into kKinds
        void (*act)(ToolModel&);
        std::vector<std::string> bus;
    };
    const Case cases[] = {
        {"I2C write 0x10",
         6,
         [](ToolModel& t) {
             t.StartWrite(0x10);
             t.WriteWord(0x01020304);
             t.EndWrite();
         },
         {"start", ">a0", ">00", ">10", ">01", ">02", ">03", ">04", "stop"}},
        {"I2C write 0x12345 (upper half)",
         7,
         [](ToolModel& t) {
             t.StartWrite(0x12345);
             t.EndWrite();
         },
         {"start", ">a8", ">23", ">45", "stop"}},
        {"Marnel read at 0x100",
         8,
         [](ToolModel& t) { t.StartRead(0x100, false); },
         {"start", ">a0", ">01", ">00", "stop", "start", ">a1"}},
        {"Marnel read ended by the marked last byte",
         8,
         [](ToolModel& t) { t.ReadWords(0x10000, 1); },
         {"start", ">a8", ">00", ">00", "stop", "start", ">a9", "<ff", "<ff", "<ff", "<ff"}},
        {"SPI EEPROM 64k write",
         4,
         [](ToolModel& t) { t.StartWrite(0x1234); },
         {"select", ">06", "release", "select", ">02", ">12", ">34"}},
        {"SPI EEPROM 128k write",
         5,
         [](ToolModel& t) { t.StartWrite(0x11234); },
         {"select", ">06", "release", "select", ">02", ">01", ">12", ">34"}},
        {"flash page program",
         0,
         [](ToolModel& t) {
             t.StartWrite(0x100);
             t.WriteWord(1);
             t.EndWrite();
         },
         {"select", ">06", "release", "select", ">02", ">00", ">01", ">00", ">00", ">00", ">00", ">01",
          "release", "select", ">04", "release"}},
    };
    for (const Case& c : cases) {
        const KindCase& k = kKinds[c.kindCase];
        Rig rig(k);
        rig.tool->PrepareMemory();
        if (k.kind == 3) c.act(*rig.tool);  // the first flash write negotiates; trace the second
        Controller& controller = rig.Target(k).MemoryController();
        controller.EnableTrace(true);
        controller.ClearTrace();
        c.act(*rig.tool);
        EXPECT_EQ(controller.Trace(), c.bus) << c.name;
    }
}

}  // namespace
}  // namespace board
