#include <gtest/gtest.h>

#include <algorithm>

#include "flash/FlashDriver.h"
#include "tests/flash/FlashTestSupport.h"

namespace flashtest {
namespace {

using Lines = std::vector<std::string>;

TEST(SendData, RewritesTheWidthOnlyWhenItChanges) {
    BoardSession bench(Chip(Side::Sink), Chip(Side::Source, "family=ostral,memory=spi-eeprom"));
    bench.Identify(1);
    PrepareMemory(KindSpiEeprom);
    StartRegisterLog(bench);
    SelectChip();
    SendData(1, 0x05000000);
    SendData(4, 0x1);
    SendData(4, 0x2);
    ReceiveWord();
    DeselectChip();
    StopRegisterLog();
    EXPECT_EQ(RegisterLog(bench.Output()),
              (Lines{"read 80000054", "w 80000050 b", "w 80000050 b", "w 80000058 5000000", "w 80000050 3b",
                     "w 80000058 1", "w 80000058 2", "read 8000005c", "read 80000054", "w 80000050 13b"}));
}

TEST(PrepareMemory, SizeFromTheStrapsAndControllerIdleState) {
    const struct {
        const char* setting;
        int32_t kind;
        int32_t eepromSize;
        Lines writes;  // control writes
    } cases[] = {
        {"family=ostral,memory=spi-eeprom,straps=0x40", 1, 0x10000, {"w 80000050 10b", "w 80000050 10b"}},
        {"family=ostral,memory=spi-eeprom,straps=0x80", 1, 0x20000, {"w 80000050 10b", "w 80000050 10b"}},
        {"family=ostral,memory=spi-eeprom,straps=0x00", 1, 0x20000, {"w 80000050 10b", "w 80000050 10b"}},
        {"family=ostral,memory=spi-eeprom,straps=0xc0", 1, 0x20000, {"w 80000050 10b", "w 80000050 10b"}},
        {"family=ostral,memory=i2c-eeprom,size=64k",
         2,
         0x10000,
         {"w 80000050 10b", "w 80000050 14b", "w 80000050 10b"}},
        {"memory=i2c-eeprom,size=128k", 8, 0x20000, {"w 80000050 10b", "w 80000050 18b", "w 80000050 10b"}},
        {"memory=mx25", 3, 0x20000, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        BoardSession bench(Chip(Side::Sink), Chip(Side::Source, c.setting));
        bench.Identify(1, c.kind);
        StartRegisterLog(bench);
        PrepareMemory(c.kind);
        StopRegisterLog();
        Lines writes;
        for (const std::string& line : RegisterLog(bench.Output()))
            if (line.rfind("w ", 0) == 0) writes.push_back(line);
        EXPECT_EQ(writes, c.writes);
        EXPECT_EQ(Session().controller.eepromSize, c.eepromSize);
        bench.ExpectCleanAudit();
    }
}

TEST(PrepareMemory, MarnelI2cBitsStayForTheRestOfTheRun) {
    BoardSession bench(Chip(Side::Sink), Chip(Side::Source, "memory=i2c-eeprom,size=128k"));
    bench.Identify(1);
    EXPECT_EQ(CurrentI2cBits().stopBit, 6u);
    EXPECT_EQ(CurrentI2cBits().lastByteBit, 7u);
    PrepareMemory(KindMarnelI2c);
    PrepareMemory(KindOstralI2c);
    EXPECT_EQ(CurrentI2cBits().stopBit, 7u);
    EXPECT_EQ(CurrentI2cBits().lastByteBit, 9u);
}

TEST(NegotiateFlash, RunsOnceOnTheFirstWriteEnable) {
    BoardSession bench;
    bench.Identify(1);
    StartRegisterLog(bench);
    WriteEnable();
    WriteEnable();
    StopRegisterLog();
    EXPECT_EQ(RegisterLog(bench.Output()),
              (Lines{"w 80000050 201", "w 80000058 6000000", "w 80000050 301", "w 80000050 211",
                     "w 80000058 1000000", "w 80000050 301", "w 80000050 231", "w 80000058 5000000",
                     "read 8000005c", "w 80000050 301", "w 80000050 201", "w 80000058 6000000",
                     "w 80000050 301", "w 80000050 201", "w 80000058 6000000", "w 80000050 301"}));
    EXPECT_TRUE(Session().controller.flashNegotiated);
}

TEST(NegotiateFlash, FlashRefusingTheStatusStopsAfterThreeAttempts) {
    BoardSession bench;
    bench.Identify(1);
    bench.AddFault("status");
    bench.ClearOutput();
    const uint64_t t0 = bench.Clock().NowUs();
    EXPECT_EQ(BoardSession::Run([] { static_cast<void>(EraseSectors(KindMacronixFlash, 0, 0x1000)); }), -1);
    const std::string warning =
        "Warning: Could not negotiate with serial flash. Write: 0, read: 156. Retrying...\n";
    EXPECT_EQ(bench.Output(),
              warning + warning + warning +
                  "Error: Could not negotiate with serial flash. Please check flash connectivity "
                  "and proper strap pins configuration. Write: 0, read: 156\n");
    EXPECT_EQ(bench.ErrorPauses(), 0);
    EXPECT_GE(bench.Clock().NowUs() - t0, 1'000'000u);
    EXPECT_FALSE(Session().controller.flashNegotiated);
}

TEST(WaitControllerIdle, ControllerThatStaysBusyEndsTheRun) {
    BoardSession bench(Chip(Side::Sink), Chip(Side::Source, "family=ostral,memory=spi-eeprom"));
    bench.Identify(1);
    bench.AddFault("busy");
    bench.ClearOutput();
    const uint64_t t0 = bench.Clock().NowUs();
    EXPECT_EQ(BoardSession::Run([] { PrepareMemory(KindSpiEeprom); }), -1);
    EXPECT_EQ(bench.Output(),
              "Error: Memory controller still busy after 1000 milliseconds. Please check the board.\n");
    EXPECT_EQ(bench.ErrorPauses(), 1);
    const uint64_t waited = bench.Clock().NowUs() - t0;
    EXPECT_GE(waited, 1'000'000u);
    EXPECT_LT(waited, 1'100'000u);
}

TEST(WaitControllerIdle, ShortBusySpellsAreWaitedOut) {
    BoardSession bench(Chip(Side::Sink), Chip(Side::Source, "family=ostral,memory=spi-eeprom,busy-polls=3"));
    bench.Identify(1);
    PrepareMemory(KindSpiEeprom);
    const auto words = Pattern(0x200, 8);
    StartWrite(0x200, KindSpiEeprom);
    for (uint32_t w : words) WriteWord(KindSpiEeprom, w);
    EndWrite(KindSpiEeprom);
    EXPECT_EQ(WordsAt(bench.Memory(1), 0x200, 8), words);
    bench.ExpectCleanAudit();
}

TEST(WaitWriteCycle, SpinsFiveMillisecondsOnTheCounter) {
    BoardSession bench(Chip(Side::Sink), Chip(Side::Source), testsupport::BenchOptions{0});
    const uint64_t t0 = bench.Clock().NowUs();
    WaitWriteCycle();
    const uint64_t spent = bench.Clock().NowUs() - t0;
    EXPECT_GE(spent, 5000u);
    EXPECT_LE(spent, 5002u);
}

}  // namespace
}  // namespace flashtest
