#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <set>

#include "flash/FlashDriver.h"
#include "tests/flash/FlashTestSupport.h"

namespace flashtest {
namespace {

using Lines = std::vector<std::string>;

// Units of the region [0, regionEnd) whose bytes were all erased.
std::set<uint32_t> ErasedUnits(const std::vector<uint8_t>& memory, uint32_t unit, uint32_t regionEnd) {
    std::set<uint32_t> erased;
    for (uint32_t at = 0; at < regionEnd; at += unit) {
        bool all = true;
        for (uint32_t i = 0; i < unit && all; ++i) all = memory[at + i] == 0xFF;
        if (all) erased.insert(at);
    }
    return erased;
}

TEST(EraseRange, ErasesExactlyTheUnitsTheRangeTouches) {
    const struct {
        uint32_t start;
        uint32_t unit;
        uint32_t length;
        std::set<uint32_t> erased;
    } cases[] = {
        {0x1001, 0x1000, 14, {0x1000}},
        {0x1001, 0x1000, 0x2000, {0x1000, 0x2000, 0x3000}},
        {0x2000, 0x1000, 0x1000, {0x2000}},
        {0x2000, 0x1000, 0x1001, {0x2000, 0x3000}},
        {0x2000, 0x1000, 0, {}},
        {0x2001, 0x1000, 0, {0x2000}},
        {0x0FFF, 0x1000, 2, {0x0000, 0x1000}},
        {0x20FFF, 0x10000, 79999, {0x20000, 0x30000}},
        {0x10000, 0x10000, 0x20000, {0x10000, 0x20000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.start << " " << c.length);
        BoardSession bench;
        bench.Identify(1);
        const uint32_t region = 0x60000;
        std::fill(bench.Memory(1).begin(), bench.Memory(1).begin() + region, 0x00);
        StartRegisterLog(bench);
        EXPECT_TRUE(EraseRange(c.start, c.unit, KindMacronixFlash, c.length,
                               c.unit == 0x1000 ? kSectorEraseWord : kBlockEraseWord));
        StopRegisterLog();
        std::set<uint32_t> sectors;
        for (uint32_t u : c.erased)
            for (uint32_t s = u; s < u + c.unit; s += 0x1000) sectors.insert(s);
        EXPECT_EQ(ErasedUnits(bench.Memory(1), 0x1000, region), sectors);
        // One erase command per unit, none repeated.
        size_t commands = 0;
        for (const std::string& line : RegisterLog(bench.Output()))
            commands += line.size() == 19 &&
                        (line.rfind("w 80000058 20", 0) == 0 || line.rfind("w 80000058 d8", 0) == 0);
        EXPECT_EQ(commands, c.erased.size());
        bench.ExpectCleanAudit();
    }
}

TEST(EraseRange, RangePastTheTopOfTheAddressSpaceDoesNotWrapToZero) {
    BoardSession bench;
    bench.Identify(1);
    std::fill(bench.Memory(1).begin(), bench.Memory(1).begin() + 0x10000, 0x00);
    StartRegisterLog(bench);
    EXPECT_TRUE(EraseRange(0xFFFFF000, 0x1000, KindMacronixFlash, 0x3000, kSectorEraseWord));
    StopRegisterLog();
    Lines commands;
    for (const std::string& line : RegisterLog(bench.Output()))
        if (line.rfind("w 80000058 20", 0) == 0) commands.push_back(line);
    EXPECT_EQ(commands, Lines{"w 80000058 20fff000"});
    EXPECT_TRUE(ErasedUnits(bench.Memory(1), 0x1000, 0x10000).empty());
}

TEST(EraseRange, SectorsHelperUsesTheSectorCommand) {
    BoardSession bench;
    bench.Identify(1);
    std::fill(bench.Memory(1).begin(), bench.Memory(1).begin() + 0x20000, 0x00);
    EXPECT_TRUE(EraseSectors(KindMacronixFlash, 0x10800, 0x1000));
    EXPECT_EQ(ErasedUnits(bench.Memory(1), 0x1000, 0x20000), (std::set<uint32_t>{0x10000, 0x11000}));
    bench.ExpectCleanAudit();
}

TEST(EraseRange, MemoriesWithoutUnitsSayNotImplementedPerUnit) {
    const struct {
        int32_t kind;
        const char* text;
    } cases[] = {{1, "EraseSingleSectorOrBlock is not implemented for current flash chip type"},
                 {2, "EraseSingleSectorOrBlock is not implemented for current flash chip type"},
                 {8, "EraseSingleSectorOrBlock is not implemented for current flash chip type"},
                 {0, "Can't erase unknown device: 0\n"},
                 {9, "Can't erase unknown device: 9\n"}};
    for (const auto& c : cases) {
        BoardSession bench;
        bench.Connect(1);
        EXPECT_TRUE(EraseRange(0x1001, 0x1000, c.kind, 0x2000, kSectorEraseWord));
        EXPECT_EQ(bench.Output(), std::string(c.text) + c.text + c.text);
    }
}

TEST(EraseSingleSectorOrBlock, SinkChipRegisterTraffic) {
    BoardSession bench;
    bench.Identify(0);
    WriteEnable();
    StartRegisterLog(bench);
    EXPECT_TRUE(EraseSingleSectorOrBlock(KindMacronixFlash, 0x1234, kSectorEraseWord));
    StopRegisterLog();
    Lines log = RegisterLog(bench.Output());
    ASSERT_GE(log.size(), 10u);
    const Lines head(log.begin(), log.begin() + 8);
    EXPECT_EQ(head, (Lines{"w 80000044 201", "w 8000004c 6000000", "w 80000044 301", "w 80000044 231",
                           "w 8000004c 20001234", "w 80000044 301", "w 80000044 231", "w 8000004c 5000000"}));
    for (size_t i = 8; i + 1 < log.size(); ++i) EXPECT_EQ(log[i], "read 80000050");
    EXPECT_EQ(log.back(), "w 80000044 301");
    bench.ExpectCleanAudit();
}

TEST(EraseChip, SpiFlashErasesEverythingAndReportsTheTime) {
    for (int target : {0, 1}) {
        BoardSession bench;
        const int32_t kind = bench.Identify(target);
        std::fill(bench.Memory(target).begin(), bench.Memory(target).end(), 0x5A);
        bench.ClearOutput();
        EXPECT_TRUE(EraseChip(kind));
        EXPECT_TRUE(std::all_of(bench.Memory(target).begin(), bench.Memory(target).end(),
                                [](uint8_t b) { return b == 0xFF; }));
        std::smatch m;
        const std::string out = bench.Output();
        ASSERT_TRUE(std::regex_match(out, m,
                                     std::regex("Erasing serial flash\\.\\.\\.\\.\nSuccessfully erased chip "
                                                "in  ([0-9]+) milliseconds\\.\n\n")))
            << out;
        EXPECT_GE(std::stoi(m[1]), 1500);
        EXPECT_LT(std::stoi(m[1]), 1600);
        bench.ExpectCleanAudit();
    }
}

TEST(EraseChip, FlashThatAnswersTooSoonOrNeverGoesOnAfterTheFullTime) {
    BoardSession early;
    early.Identify(1);
    early.AddFault("early");
    early.ClearOutput();
    const uint64_t t0 = early.Clock().NowUs();
    // Ready too soon is waited out, not a failed erase.
    EXPECT_TRUE(EraseChip(KindMacronixFlash));
    const std::string out = early.Output();
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(out, m,
                         std::regex("Erasing serial flash\\.\\.\\.\\.\n"
                                    "Wait for busy bit failed and returned too quickly \\(([0-9]+) ms\\)\\. "
                                    "Wait full 33000 milliseconds instead\\.\n"
                                    "Finished waiting for chip ready\\. Trying to continue\\.\\.\\.\n\n")))
        << out;
    EXPECT_LT(std::stoi(m[1]), 1000);
    EXPECT_GE(early.Clock().NowUs() - t0, 33'000'000u);

    BoardSession never;
    never.Identify(1);
    never.AddFault("never");
    never.ClearOutput();
    const uint64_t t1 = never.Clock().NowUs();
    EXPECT_FALSE(EraseSingleSectorOrBlock(KindMacronixFlash, 0x5000, kBlockEraseWord));
    EXPECT_EQ(never.Output(),
              "Timeout waiting 3000 milliseconds for chip ready. Erase failed. Trying to continue...\n\n");
    EXPECT_GE(never.Clock().NowUs() - t1, 3'000'000u);
    EXPECT_LT(never.Clock().NowUs() - t1, 3'100'000u);
}

// The board's time as seen by a run that is stopped once (SIGSTOP) for stopUs as soon as the time
// reaches stopAtUs: the board goes on meanwhile, the run's next reading is far on.
class StoppedOnceClock final : public platform::Clock {
  public:
    StoppedOnceClock(platform::VirtualClock& base, uint64_t stopAtUs, uint64_t stopUs)
        : m_base(base), m_stopAtUs(stopAtUs), m_stopUs(stopUs) {}
    uint32_t TickMs() override {
        StopOnce();
        return m_base.TickMs();
    }
    uint64_t MicroSeconds() override { return m_base.MicroSeconds(); }
    void SleepMs(uint32_t ms) override { m_base.SleepMs(ms); }
    void SleepUs(uint64_t us) override { m_base.SleepUs(us); }

  private:
    void StopOnce() {
        if (m_stopUs == 0 || m_base.NowUs() < m_stopAtUs) return;
        m_base.Advance(m_stopUs);
        m_stopUs = 0;
    }
    platform::VirtualClock& m_base;
    const uint64_t m_stopAtUs;
    uint64_t m_stopUs;
};

TEST(EraseChip, RunStoppedPastTheDeadlineSeesTheFinishedErase) {
    const struct {
        const char* what;
        std::function<bool()> erase;
        std::string text;
    } cases[] = {
        {"block", [] { return EraseSingleSectorOrBlock(3, 0x10000, kBlockEraseWord); }, ""},
        {"chip", [] { return EraseChip(3); },
         "Erasing serial flash....\nSuccessfully erased chip in  [0-9]+ milliseconds\\.\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Exchanges cost no time, so the stop lands between them, never inside one.
        BoardSession bench(Chip(Side::Sink), Chip(Side::Source), {0});
        bench.Identify(1);
        std::fill(bench.Memory(1).begin(), bench.Memory(1).end(), 0x5A);
        bench.ClearOutput();
        // Stopped 40 s, longer than any wait, 20 ms into the erase.
        StoppedOnceClock stopped(bench.Clock(), bench.Clock().NowUs() + 20'000, 40'000'000);
        platform::ScopedClock scoped(stopped);
        EXPECT_TRUE(c.erase());
        EXPECT_TRUE(std::regex_match(bench.Output(), std::regex(c.text))) << bench.Output();
        const uint32_t end = c.text.empty() ? 0x20000 : static_cast<uint32_t>(bench.Memory(1).size());
        const uint32_t begin = c.text.empty() ? 0x10000 : 0;
        for (uint32_t at = 0; at < bench.Memory(1).size(); ++at) {
            if (bench.Memory(1)[at] != (at >= begin && at < end ? 0xFF : 0x5A)) {
                ADD_FAILURE() << "byte at " << std::hex << at;
                break;
            }
        }
        bench.ExpectCleanAudit();
    }
}

TEST(EraseChip, KindsItCannotEraseStopWithThePause) {
    const struct {
        int32_t kind;
        const char* text;
    } cases[] = {{2, "Can't erase unknown device: 0x2\n"},
                 {8, "Can't erase unknown device: 0x8\n"},
                 {0, "Can't erase unknown device: 0\n"}};
    for (const auto& c : cases) {
        BoardSession bench;
        bench.Connect(1);
        EXPECT_EQ(BoardSession::Run([&] { static_cast<void>(EraseChip(c.kind)); }), -1);
        EXPECT_EQ(bench.Output(), c.text);
        EXPECT_EQ(bench.ErrorPauses(), 1);
    }
}

TEST(EraseChip, StandAloneSpiEepromEraseReachesTheChip) {
    // Letter E alone: nothing prepared the controller before.
    for (const char* size : {"64k", "128k"}) {
        SCOPED_TRACE(size);
        BoardSession bench(Chip(Side::Sink),
                           Chip(Side::Source, std::string("family=ostral,memory=spi-eeprom,size=") + size));
        const int32_t kind = bench.Identify(1);
        std::fill(bench.Memory(1).begin(), bench.Memory(1).end(), 0x00);
        bench.ClearOutput();
        const uint64_t t0 = bench.Clock().NowUs();
        EXPECT_TRUE(EraseChip(kind));
        EXPECT_EQ(bench.Output(), "Erasing serial flash....\nDone.\n");
        EXPECT_GE(bench.Clock().NowUs() - t0, 10'100'000u);
        EXPECT_TRUE(
            std::all_of(bench.Memory(1).begin(), bench.Memory(1).end(), [](uint8_t b) { return b == 0xFF; }));
        bench.ExpectCleanAudit();
    }
}

TEST(EraseChip, StandAloneSpiEepromEraseStartsFromThePreparedController) {
    BoardSession bench(Chip(Side::Sink), Chip(Side::Source, "family=ostral,memory=spi-eeprom"));
    bench.Identify(1);
    StartRegisterLog(bench);
    EXPECT_TRUE(EraseChip(KindSpiEeprom));
    StopRegisterLog();
    Lines control;
    for (const std::string& line : RegisterLog(bench.Output()))
        if (line.rfind("w 80000050 ", 0) == 0) control.push_back(line);
    ASSERT_FALSE(control.empty());
    EXPECT_EQ(control.front(), "w 80000050 10b");
    for (const std::string& line : control) {
        const uint32_t value = std::stoul(line.substr(11), nullptr, 16);
        EXPECT_EQ(value & 0x00b, 0x00bu) << line;
    }
}

TEST(EraseUpdateSection, ClearsTheFourByteMarkOnly) {
    const struct {
        const char* setting;
        uint32_t mark;
    } cases[] = {{"family=ostral,memory=i2c-eeprom,size=128k", 0x1FFF0},
                 {"family=ostral,memory=i2c-eeprom,size=64k", 0xFFF0},
                 {"memory=i2c-eeprom,size=128k", 0x1FFF0},
                 {"memory=i2c-eeprom,size=64k", 0xFFF0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        BoardSession bench(Chip(Side::Sink), Chip(Side::Source, c.setting));
        const int32_t kind = bench.Identify(1);
        std::vector<uint8_t>& memory = bench.Memory(1);
        std::fill(memory.begin(), memory.end(), 0x77);
        bench.ClearOutput();
        // Kind 8 reports 4 MiB; the mark follows the straps' size selection.
        const int32_t sizeSelection = c.mark == 0x1FFF0 ? 2 : 1;
        EraseUpdateSection(sizeSelection, kind);
        EXPECT_EQ(bench.Output(), "Erasing update section from I2C Eeprom....Done.\n");
        for (size_t at = 0; at < memory.size(); ++at) {
            const bool inMark = at >= c.mark && at < c.mark + 4;
            if (memory[at] != (inMark ? 0x00 : 0x77)) {
                ADD_FAILURE() << "byte at " << std::hex << at;
                break;
            }
        }
        bench.ExpectCleanAudit();
    }
}

}  // namespace
}  // namespace flashtest
