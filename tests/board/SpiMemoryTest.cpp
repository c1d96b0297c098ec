// The SPI memories driven through the controller with the register traffic the tool produces.
#include <gtest/gtest.h>

#include "board/BoardPair.h"
#include "platform/Clock.h"
#include "tests/board/BoardTestSupport.h"

namespace board {
namespace {

using test::Registers;

class SpiFlash : public ::testing::Test {
  public:
    platform::VirtualClock clock;
    platform::ScopedClock scoped{clock};
    BoardPair pair;
    Registers source{pair.Source()};
    Registers sink{pair.Sink()};
    std::vector<uint8_t>& mem = pair.Source().MemoryBytes();

    // Page program of the tool: StartWrite, words, EndWrite (with its 5 ms wait).
    void ProgramWords(Registers& r, uint32_t address, std::initializer_list<uint32_t> words) {
        r.Control(0x30);
        r.WriteEnable();
        r.Control(0x231);
        r.Transmit(0x02000000 | address);
        for (uint32_t w : words) r.Transmit(w);
        r.Control(0x301);
        clock.SleepUs(5000);
        r.Command(0x201, 0x04000000);
    }
    void Erase(Registers& r, uint32_t word) {
        r.WriteEnable();
        r.Command(word == 0xC7000000 ? 0x201 : 0x231, word);
    }
};

TEST_F(SpiFlash, IdentificationAnswersTheRowsId) {
    for (const char* name : {"mx25", "amic", "spansion", "flash20"}) {
        ChipConfig config = DefaultChipConfig(Side::Source);
        config.memory = name;
        BoardPair own(DefaultChipConfig(Side::Sink), config);
        Registers r(own.Source());
        r.Control(0x201);
        r.Transmit(0x9F000000);
        uint32_t id = r.Receive();
        r.Control(0x301);
        EXPECT_EQ(id >> 24, FindDevice(name, 0)->jedecId) << name;
        EXPECT_EQ(id & 0x00FFFFFF, 0u) << "a width-1 receive fills only the top byte";
    }
}

TEST_F(SpiFlash, ToolPageProgramSequenceProgramsAndLeavesNoAuditEntry) {
    ProgramWords(source, 0x100, {0x11223344, 0xA5A5A5A5});
    EXPECT_EQ(test::Slice(mem, 0x100, 8),
              (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0xA5, 0xA5, 0xA5, 0xA5}));
    EXPECT_EQ(mem[0xFF], 0xFF);
    EXPECT_EQ(mem[0x108], 0xFF);
    EXPECT_FALSE(pair.Source().Memory() == nullptr);
    pair.EndSession();
    EXPECT_TRUE(pair.AuditEntries().empty()) << pair.AuditReport();
}

TEST_F(SpiFlash, ProgramOnlyClearsBits) {
    ProgramWords(source, 0, {0xF0F0FFFF});
    ProgramWords(source, 0, {0x0FFF00FF});
    EXPECT_EQ(test::Slice(mem, 0, 4), (std::vector<uint8_t>{0x00, 0xF0, 0x00, 0xFF}));
}

TEST_F(SpiFlash, SinkControllerSitsTwelveBytesLower) {
    ProgramWords(sink, 0x40, {0xCAFEBABE});
    EXPECT_EQ(test::Slice(pair.Sink().MemoryBytes(), 0x40, 4),
              (std::vector<uint8_t>{0xCA, 0xFE, 0xBA, 0xBE}));
    EXPECT_EQ(mem[0x40], 0xFF) << "the source's memory is untouched";
    // The source's controller addresses are plain storage on the sink chip.
    pair.Sink().WriteRegister(0x80000058, 0x02000000);
    EXPECT_EQ(pair.Sink().ReadRegister(0x80000058), 0x02000000u);
}

TEST_F(SpiFlash, ContinuousReadWrapsAtTheEnd) {
    mem[0] = 0x5A;
    mem[mem.size() - 1] = 0x3C;
    source.Control(0x231);
    source.Transmit(0x03000000 | static_cast<uint32_t>(mem.size() - 3));
    EXPECT_EQ(source.Receive(), 0xFFFF3C5Au);
    source.Control(0x301);
}

TEST_F(SpiFlash, ReleasedChipShiftsNothing) {
    source.Control(0x301);
    source.Transmit(0x02000000);
    EXPECT_EQ(source.Receive(), 0xFFFFFFFFu);
    EXPECT_TRUE(pair.AuditEntries().empty());
}

TEST_F(SpiFlash, MisuseIsAudited) {
    struct Case {
        const char* what;
        void (*act)(SpiFlash&);
        const char* expected;
    };
    const Case cases[] = {
        {"program without WEL",
         [](SpiFlash& t) {
             t.source.Control(0x231);
             t.source.Transmit(0x02000100);
             t.source.Transmit(0);
             t.source.Control(0x301);
         },
         "source: page program without write enable at 0x000100"},
        {"erase without WEL", [](SpiFlash& t) { t.source.Command(0x231, 0x20001000); },
         "source: sector erase without write enable at 0x001000"},
        {"status write without WEL", [](SpiFlash& t) { t.source.Command(0x211, 0x01000000); },
         "source: status write without write enable"},
        {"page crossing",
         [](SpiFlash& t) {
             t.ProgramWords(t.source, 0xFE, {0, 0});
         },
         "source: page program crossing a 256-byte page at 0x0000fe"},
        {"command while busy",
         [](SpiFlash& t) {
             t.Erase(t.source, 0x20000000);
             t.source.WriteEnable();
         },
         "source: command 0x06 sent while the memory is busy"},
        {"left selected",
         [](SpiFlash& t) {
             t.source.Control(0x231);
             t.source.Transmit(0x03000000);
             t.pair.EndSession();
         },
         "source: memory left selected (command 0x03, 4 byte(s) shifted) when the session ended"},
        {"erase with extra bytes",
         [](SpiFlash& t) {
             t.source.WriteEnable();
             t.source.Command(0x201, 0xC7000000);
             t.clock.SleepMs(2000);
             t.source.WriteEnable();
             t.source.Command(0x211, 0xC7000000);
         },
         "source: command 0xc7 released after 2 byte(s), rejected"},
    };
    for (const Case& c : cases) {
        pair.ClearAudit();
        c.act(*this);
        ASSERT_FALSE(pair.AuditEntries().empty()) << c.what;
        EXPECT_EQ(pair.AuditEntries().back(), c.expected) << c.what;
        clock.SleepMs(3000);  // let any erase finish before the next case
        source.Control(0x301);
    }
}

TEST_F(SpiFlash, UnauditedMisuseLeavesMemoryUnchanged) {
    source.Control(0x231);
    source.Transmit(0x02000000);
    source.Transmit(0);
    source.Control(0x301);
    EXPECT_EQ(mem[0], 0xFF);
}

TEST_F(SpiFlash, NegotiationStatusWriteTakesZero) {
    source.WriteEnable();
    EXPECT_EQ(source.FlashStatus(), 0x02) << "WEL set";
    source.Command(0x211, 0x01000000);
    EXPECT_EQ(source.FlashStatus(), 0x00) << "status written, WEL cleared";
    source.WriteEnable();
    source.Command(0x201, 0x04000000);
    EXPECT_EQ(source.FlashStatus(), 0x00) << "write disable clears WEL";
}

TEST_F(SpiFlash, ProtectBitsRefuseProgramming) {
    source.WriteEnable();
    source.Command(0x211, 0x011C0000);
    EXPECT_EQ(source.FlashStatus(), 0x1C);
    ProgramWords(source, 0, {0});
    EXPECT_EQ(mem[0], 0xFF);
    ASSERT_FALSE(pair.AuditEntries().empty());
    EXPECT_NE(pair.AuditEntries().back().find("write protected"), std::string::npos);
}

TEST_F(SpiFlash, StatusIsContinuousAndTracksEraseTime) {
    struct Case {
        uint32_t word;
        uint32_t eraseAt;
        uint32_t unit;
        uint64_t busyUs;
    };
    const Case cases[] = {
        {0x20000000, 0x1234, 0x1000, 50'000},
        {0xD8000000, 0x20FFF, 0x10000, 500'000},
        {0xC7000000, 0, 0x400000, 1'500'000},
    };
    for (const Case& c : cases) {
        std::fill(mem.begin(), mem.end(), 0x00);
        Erase(source, c.word | (c.word == 0xC7000000 ? 0 : c.eraseAt));
        uint64_t start = clock.NowUs();
        // One status command stays open; every receive brings fresh status bytes.
        source.Control(0x231);
        source.Transmit(0x05000000);
        EXPECT_EQ(source.Receive(), 0x01010101u);
        while (source.Receive() & 0x01000000) clock.SleepUs(1000);
        source.Control(0x301);
        uint64_t took = clock.NowUs() - start;
        EXPECT_GE(took, c.busyUs - 1000) << std::hex << c.word;
        EXPECT_LE(took, c.busyUs + 2000) << std::hex << c.word;
        uint32_t first = c.eraseAt - c.eraseAt % c.unit;
        EXPECT_EQ(mem[first], 0xFF);
        EXPECT_EQ(mem[first + c.unit - 1], 0xFF);
        EXPECT_EQ(first > 0 ? mem[first - 1] : 0, 0x00);
        EXPECT_EQ(first + c.unit < mem.size() ? mem[first + c.unit] : 0, 0x00);
    }
    EXPECT_TRUE(pair.AuditEntries().empty()) << pair.AuditReport();
}

}  // namespace
}  // namespace board
