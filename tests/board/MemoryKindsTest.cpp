// Every memory kind driven by the tool's own flash driver over the debug port; a correct sequence
// writes and reads back the data and leaves the audit empty.
#include <gtest/gtest.h>

#include "board/BoardPair.h"
#include "flash/FlashDriver.h"
#include "tests/support/BoardSession.h"

namespace board {
namespace {

using testsupport::BoardSession;

struct KindCase {
    const char* name;
    Side side;
    const char* setting;
    int32_t kind;
    uint32_t start;
};

const KindCase kKinds[] = {
    {"mx25 source", Side::Source, "", KindMacronixFlash, 0x1FF80},
    {"amic sink", Side::Sink, "memory=amic", KindAmicFlash, 0x7F80},
    {"spansion source", Side::Source, "memory=spansion", KindSpansionFlash, 0x100},
    {"flash20 sink", Side::Sink, "memory=flash20", KindMacronixFlash, 0x3FFE00},
    {"spi-eeprom 64k", Side::Source, "family=ostral,memory=spi-eeprom,size=64k", KindSpiEeprom, 0xFE00},
    {"spi-eeprom 128k", Side::Sink, "family=ostral,memory=spi-eeprom,size=128k", KindSpiEeprom, 0xFF80},
    {"i2c ostral 64k", Side::Source, "family=ostral,memory=i2c-eeprom,size=64k", KindOstralI2c, 0xFE00},
    {"i2c ostral 128k", Side::Sink, "family=ostral,memory=i2c-eeprom,size=128k", KindOstralI2c, 0xFF80},
    {"i2c marnel 128k", Side::Source, "memory=i2c-eeprom,size=128k", KindMarnelI2c, 0xFF80},
};

// The pair with the case's chip on its side, identified by the driver, the memory prepared.
struct Rig {
    explicit Rig(const KindCase& c)
        : bench(testsupport::Chip(Side::Sink, c.side == Side::Sink ? c.setting : ""),
                testsupport::Chip(Side::Source, c.side == Side::Source ? c.setting : "")),
          target(static_cast<int>(c.side)) {
        EXPECT_EQ(bench.Identify(target), c.kind) << c.name;
        PrepareMemory(c.kind);
    }
    std::vector<uint8_t>& Memory() { return bench.Memory(target); }

    BoardSession bench;
    int target;
};

uint32_t Pattern(uint32_t address) {
    return (address * 2654435761u) ^ 0x5A000000;
}

std::vector<uint8_t> Bytes(uint32_t word) {
    return {uint8_t(word >> 24), uint8_t(word >> 16), uint8_t(word >> 8), uint8_t(word)};
}

TEST(MemoryKinds, WordWritesReadBackWithoutAuditFindings) {
    for (const KindCase& c : kKinds) {
        SCOPED_TRACE(c.name);
        Rig rig(c);
        for (uint32_t page = c.start; page < c.start + 512; page += 128) {
            StartWrite(page, c.kind);
            for (uint32_t a = page; a < page + 128; a += 4) WriteWord(c.kind, Pattern(a));
            EndWrite(c.kind);
        }
        std::vector<uint8_t>& mem = rig.Memory();
        for (uint32_t a = c.start; a < c.start + 512; a += 4)
            ASSERT_EQ(std::vector<uint8_t>(mem.begin() + a, mem.begin() + a + 4), Bytes(Pattern(a)))
                << " at " << std::hex << a;
        EXPECT_EQ(mem[c.start - 1], 0xFF);
        EXPECT_EQ(mem[(c.start + 512) % mem.size()], 0xFF);

        std::vector<uint32_t> words(128);
        ReadMemory(c.start, 128, false, words.data(), c.kind);
        for (uint32_t i = 0; i < 128; ++i) ASSERT_EQ(words[i], Pattern(c.start + 4 * i)) << " word " << i;
        rig.bench.ExpectCleanAudit();
    }
}

TEST(MemoryKinds, FastBlocksBurnAndVerify) {
    for (const KindCase& c : kKinds) {
        if (c.kind == KindSpiEeprom || c.kind == KindOstralI2c)
            continue;  // fast transfer is for flash and Marnel I2C
        SCOPED_TRACE(c.name);
        Rig rig(c);
        std::vector<uint8_t> block;
        StartWrite(c.start, c.kind);
        for (uint32_t a = c.start; a < c.start + 128; a += 4) {
            QueueFastWord(Pattern(a), false);
            for (uint8_t b : Bytes(Pattern(a))) block.push_back(b);
        }
        EndWrite(c.kind);
        std::vector<uint8_t>& mem = rig.Memory();
        EXPECT_EQ(std::vector<uint8_t>(mem.begin() + c.start, mem.begin() + c.start + 128), block);

        StartRead(c.kind, c.start, true);
        QueueFastBytes(block.data(), 64);
        EXPECT_TRUE(VerifyFastPending());
        std::vector<uint8_t> wrong(block.begin() + 64, block.end());
        wrong[17] ^= 1;
        QueueFastBytes(wrong.data(), wrong.size());
        EXPECT_FALSE(VerifyFastPending());
        CloseRead(c.kind);
        rig.bench.ExpectCleanAudit();
    }
}

// A write that runs past the end of its page wraps round to the page's start on the part: the
// cells land elsewhere than their addresses say, so the board names it.
TEST(MemoryKinds, AnI2cWriteWrappingRoundItsPageIsAudited) {
    const KindCase& c = kKinds[6];
    Rig rig(c);
    StartWrite(0x7C, c.kind);
    WriteWord(c.kind, 0x01020304);
    WriteWord(c.kind, 0x05060708);
    EndWrite(c.kind);
    EXPECT_EQ(rig.Memory()[0], 0x05);
    EXPECT_EQ(rig.bench.Audit(),
              std::vector<std::string>{"source: I2C page write wrapping round its 128-byte page at 0x00000"});
}

// Bus traffic of the driver's register sequences.
TEST(MemoryKinds, RegisterSequencesGiveTheExpectedBusBytes) {
    struct Case {
        const char* name;
        int kindCase;  // index into kKinds
        void (*act)(int32_t kind);
        std::vector<std::string> bus;
    };
    const Case cases[] = {
        {"I2C write 0x10",
         6,
         [](int32_t kind) {
             StartWrite(0x10, kind);
             WriteWord(kind, 0x01020304);
             EndWrite(kind);
         },
         {"start", ">a0", ">00", ">10", ">01", ">02", ">03", ">04", "stop"}},
        {"I2C write 0x12345 (upper half)",
         7,
         [](int32_t kind) {
             StartWrite(0x12345, kind);
             EndWrite(kind);
         },
         {"start", ">a8", ">23", ">45", "stop"}},
        {"Marnel read at 0x100",
         8,
         [](int32_t kind) { StartRead(kind, 0x100, false); },
         {"start", ">a0", ">01", ">00", "stop", "start", ">a1"}},
        {"Marnel read ended by the marked last byte",
         8,
         [](int32_t kind) { ReadWordRange(0x10000, 1, kind, [](uint32_t, uint32_t) {}); },
         {"start", ">a8", ">00", ">00", "stop", "start", ">a9", "<ff", "<ff", "<ff", "<ff"}},
        {"SPI EEPROM 64k write",
         4,
         [](int32_t kind) { StartWrite(0x1234, kind); },
         {"select", ">06", "release", "select", ">02", ">12", ">34"}},
        {"SPI EEPROM 128k write",
         5,
         [](int32_t kind) { StartWrite(0x11234, kind); },
         {"select", ">06", "release", "select", ">02", ">01", ">12", ">34"}},
        {"flash page program",
         0,
         [](int32_t kind) {
             StartWrite(0x100, kind);
             WriteWord(kind, 1);
             EndWrite(kind);
         },
         {"select", ">06", "release", "select", ">02", ">00", ">01", ">00", ">00", ">00", ">00", ">01",
          "release", "select", ">04", "release"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const KindCase& k = kKinds[c.kindCase];
        Rig rig(k);
        if (IsSpiFlash(k.kind)) c.act(k.kind);  // the first flash write negotiates; trace the second
        Controller& controller = rig.bench.Target(rig.target).MemoryController();
        controller.EnableTrace(true);
        controller.ClearTrace();
        c.act(k.kind);
        EXPECT_EQ(controller.Trace(), c.bus);
    }
}

}  // namespace
}  // namespace board
