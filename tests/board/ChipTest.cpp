#include <gtest/gtest.h>

#include "board/BoardPair.h"
#include "tests/board/BoardTestSupport.h"

namespace board {
namespace {

TEST(Chip, IdentityRegistersFollowFamilySideAndMemory) {
    struct Case {
        const char* setting;
        Side side;
        uint32_t id;
        uint32_t straps;
        uint32_t versionRegister;
        uint32_t version;
    };
    const Case cases[] = {
        {"", Side::Source, 0x01010001, 0x80, 0x80000404, 0x39100000},
        {"", Side::Sink, 0x00010001, 0x80, 0x80000294, 0x39100000},
        {"family=ostral,rev=5", Side::Source, 0x01000005, 0x80, 0x80000404, 0x20000000},
        {"memory=i2c-eeprom,size=64k", Side::Sink, 0x00010001, 0x50, 0x80000294, 0x39100000},
        {"memory=i2c-eeprom,size=128k", Side::Sink, 0x00010001, 0x90, 0x80000294, 0x39100000},
        {"memory=spi-eeprom,size=64k", Side::Source, 0x01010001, 0x40, 0x80000404, 0x39100000},
        {"id=0x01010000,version=0x12,straps=0xc0", Side::Source, 0x01010000, 0xC0, 0x80000404, 0x12},
    };
    for (const Case& c : cases) {
        ChipConfig config = DefaultChipConfig(c.side);
        std::string error;
        ASSERT_TRUE(ParseChipSpec(c.setting, config, error)) << c.setting << ": " << error;
        Audit audit;
        Chip chip(config, audit);
        EXPECT_EQ(chip.ReadRegister(0x80000000), c.id) << c.setting;
        EXPECT_EQ(chip.ReadRegister(0x8000000C), c.straps) << c.setting;
        EXPECT_EQ(chip.ReadRegister(c.versionRegister), c.version) << c.setting;
        chip.WriteRegister(0x80000000, 0);
        EXPECT_EQ(chip.ReadRegister(0x80000000), c.id) << "identification is read-only";
    }
}

TEST(Chip, OtherAddressesArePlainStorage) {
    BoardPair pair;
    Chip& chip = pair.Source();
    EXPECT_EQ(chip.ReadRegister(0x8000018C), 0u);
    EXPECT_EQ(chip.ReadRegister(0x60001234), 0u);
    chip.WriteRegister(0x8000018C, 0x4000);
    chip.WriteRegister(0x60001234, 7);
    EXPECT_EQ(chip.ReadRegister(0x8000018C), 0x4000u);
    EXPECT_EQ(chip.ReadRegister(0x60001234), 7u);
    EXPECT_EQ(pair.Sink().ReadRegister(0x60001234), 0u) << "each chip has its own registers";
}

TEST(Chip, ChipSpecRejectsNonsense) {
    for (const char* setting : {"family=ruvo", "memory=nand", "size=3m", "memory=i2c-eeprom,size=4m",
                                "uart=tty1", "rev=x", "colour=blue", "id"}) {
        ChipConfig config = DefaultChipConfig(Side::Source);
        std::string error;
        EXPECT_FALSE(ParseChipSpec(setting, config, error)) << setting;
        EXPECT_FALSE(error.empty()) << setting;
    }
}

TEST(Chip, MailboxSitsWhereTheToolLooksForIt) {
    struct Case {
        Side side;
        const char* setting;
        uint32_t command;
        uint32_t data;
    };
    const Case cases[] = {
        {Side::Source, "family=ostral", 0x810003F4, 0x810003F8},
        {Side::Source, "", 0x80000750, 0x80000754},
        {Side::Sink, "family=ostral", 0x81000000, 0x81000004},
        {Side::Sink, "", 0x80000820, 0x80000824},
        {Side::Sink, "version=0x38ccc000", 0x81000000, 0x81000004},  // older Marnel parts
    };
    for (const Case& c : cases) {
        ChipConfig config = DefaultChipConfig(c.side);
        std::string error;
        ASSERT_TRUE(ParseChipSpec(c.setting, config, error));
        config.mailboxPolls = 2;
        Audit audit;
        Chip chip(config, audit);
        // Write 5 to 0x88000010, then read it back, as the tool's mailbox protocol does.
        chip.WriteRegister(c.data, 5);
        chip.WriteRegister(c.command, 0x88000011);
        EXPECT_EQ(chip.ReadRegister(c.command), 0x88000011u) << c.setting;
        EXPECT_EQ(chip.ReadRegister(c.command), 0x88000011u) << c.setting;
        EXPECT_EQ(chip.ReadRegister(c.command), 0x88000010u)
            << c.setting << ": command bits clear after 2 polls";
        chip.WriteRegister(c.data, 0);
        chip.WriteRegister(c.command, 0x88000012);
        chip.ReadRegister(c.command);
        chip.ReadRegister(c.command);
        EXPECT_EQ(chip.ReadRegister(c.command) & 3, 0u);
        EXPECT_EQ(chip.ReadRegister(c.data), 5u) << c.setting;
        EXPECT_EQ(chip.ReadRegister(0x88000010), 5u) << "the bench reaches it directly";
    }
}

TEST(Chip, WrongMailboxNeverAnswers) {
    BoardPair pair;  // Marnel source: the Ruvo pair
    Chip& chip = pair.Source();
    chip.WriteRegister(0x810003F4, 0x40001002);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(chip.ReadRegister(0x810003F4) & 3, 2u);
}

TEST(Chip, StatusShowsBusyForConfiguredPolls) {
    ChipConfig source = DefaultChipConfig(Side::Source);
    source.busyPolls = 3;
    BoardPair pair(DefaultChipConfig(Side::Sink), source);
    test::Registers r(pair.Source());
    EXPECT_EQ(r.Status(), 0u);
    r.Control(0x201);
    r.Transmit(0x9F000000);
    EXPECT_EQ(r.Status(), 1u);
    EXPECT_EQ(r.Status(), 1u);
    EXPECT_EQ(r.Status(), 1u);
    EXPECT_EQ(r.Status(), 0u);
    r.Control(0x301);
}

TEST(Chip, NoMemoryReadsAllOnes) {
    ChipConfig source = DefaultChipConfig(Side::Source);
    source.memory = "none";
    BoardPair pair(DefaultChipConfig(Side::Sink), source);
    test::Registers r(pair.Source());
    r.Control(0x201);
    r.Transmit(0x9F000000);
    EXPECT_EQ(r.Receive() >> 24, 0xFFu);
    r.Control(0x301);
    EXPECT_TRUE(pair.Source().MemoryBytes().empty());
}

}  // namespace
}  // namespace board
