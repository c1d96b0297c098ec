#include <gtest/gtest.h>

#include "board/BoardPair.h"
#include "flash/FlashDriver.h"
#include "platform/Clock.h"
#include "tests/board/BoardTestSupport.h"
#include "tests/support/BoardSession.h"

namespace board {
namespace {

using test::PortAccess;
using test::Registers;
using testsupport::BoardSession;

bool Contains(const std::vector<std::string>& entries, const std::string& text) {
    for (const std::string& e : entries)
        if (e.find(text) != std::string::npos) return true;
    return false;
}

// Sequences a correct driver never sends, built from the driver's own steps on the source chip.
TEST(I2cAudit, MisusesOfTheEepromAreNamed) {
    struct Case {
        const char* name;
        const char* setting;
        void (*act)(int32_t kind);
        const char* finding;
    };
    const Case cases[] = {
        {"write during the write cycle", "family=ostral,memory=i2c-eeprom,size=64k",
         [](int32_t kind) {
             StartWrite(0, kind);
             WriteWord(kind, 0);
             I2cStop();  // no write-cycle wait before the next access
             StartWrite(0x80, kind);
             WriteWord(kind, 0);
             EndWrite(kind);
         },
         "while the EEPROM is in its write cycle"},
        {"read not ended", "family=ostral,memory=i2c-eeprom,size=64k",
         [](int32_t kind) {
             StartRead(kind, 0, false);
             ReadWord(kind);
             StartWrite(0x80, kind);
             EndWrite(kind);
         },
         "new I2C transfer while a read is not ended by a marked last byte"},
        {"read open at session end", "memory=i2c-eeprom,size=128k",
         [](int32_t kind) {
             StartRead(kind, 0, false);
             ReadWord(kind);
         },
         "I2C read not ended by a marked last byte when the session ended"},
        {"Marnel read without the read-phase bit", "memory=i2c-eeprom,size=128k",
         [](int32_t) { SendData(1, 0xA1000000); }, "without the read-phase bit"},
    };
    for (const Case& c : cases) {
        // Register exchanges take no time here, so nothing but the driver's own waits lets the
        // write cycle pass.
        BoardSession bench(testsupport::Chip(Side::Sink), testsupport::Chip(Side::Source, c.setting), {0});
        const int32_t kind = bench.Identify(1);
        PrepareMemory(kind);
        c.act(kind);
        const std::vector<std::string> audit = bench.Audit();
        EXPECT_TRUE(Contains(audit, c.finding)) << c.name << "\n" << bench.Pair().AuditReport();
    }
}

TEST(I2cAudit, WriteDuringWriteCycleIsLost) {
    BoardSession bench(testsupport::Chip(Side::Sink),
                       testsupport::Chip(Side::Source, "family=ostral,memory=i2c-eeprom,size=64k"), {0});
    const int32_t kind = bench.Identify(1);
    PrepareMemory(kind);
    StartWrite(0, kind);
    WriteWord(kind, 0x11111111);
    I2cStop();
    StartWrite(0x80, kind);
    WriteWord(kind, 0x22222222);
    EndWrite(kind);
    EXPECT_EQ(bench.Memory(1)[0], 0x11);
    EXPECT_EQ(bench.Memory(1)[0x80], 0xFF);
}

TEST(AuditReport, ListsEntriesThenTheCount) {
    Audit audit;
    EXPECT_EQ(audit.Report(), "audit: 0 finding(s)\n");
    audit.Record("sink: x");
    audit.Record("source: y");
    EXPECT_EQ(audit.Report(), "sink: x\nsource: y\naudit: 2 finding(s)\n");
    for (size_t i = 0; i < Audit::kKeptEntries; ++i) audit.Record("source: z");
    EXPECT_EQ(audit.Entries().size(), Audit::kKeptEntries);
    EXPECT_EQ(audit.Count(), Audit::kKeptEntries + 2);
    std::string report = audit.Report();
    EXPECT_EQ(report.substr(report.size() - 45), "source: z\n... 2 more\naudit: 10002 finding(s)\n");
}

class Faults : public ::testing::Test {
  protected:
    platform::VirtualClock clock;
    platform::ScopedClock scoped{clock};
    BoardPair pair;
    std::unique_ptr<platform::ByteDevice> port = pair.OpenDebugPort(1);
    PortAccess access{*port};

    void Add(const char* text) {
        std::string error;
        ASSERT_TRUE(pair.AddFault(text, error)) << error;
    }
};

TEST_F(Faults, AnswerFaultsDisturbTheChosenCommandOnly) {
    struct Case {
        const char* fault;
        std::string answer;  // to the second read of 0x80000000
    };
    const std::string good = "80000000=01010001\r\nReady\r\n";
    const Case cases[] = {
        {"noise,after=1,bytes=5", "#####" + good},
        {"noise,after=1,bytes=61", std::string(61, '#') + good},
        {"stale,after=1", "\r\n00000000\r\nReady\r\n" + good},
        {"silence,after=1", ""},
        {"echo,after=1", "80000004=01010001\r\nReady\r\n"},
        {"flood,after=1", std::string(200, 'U')},
    };
    for (const Case& c : cases) {
        BoardPair own;
        std::string error;
        ASSERT_TRUE(own.AddFault(c.fault, error)) << error;
        auto p = own.OpenDebugPort(0);
        PortAccess a(*p);
        std::string sinkGood = "80000000=00010001\r\nReady\r\n";
        std::string expected = c.answer;
        if (auto at = expected.find("01010001"); at != std::string::npos) expected.replace(at, 8, "00010001");
        if (expected.find(good) != std::string::npos)
            expected.replace(expected.find(good), good.size(), sinkGood);
        EXPECT_EQ(a.Exchange("r80000000\n"), sinkGood) << c.fault;
        EXPECT_EQ(a.Exchange("r80000000\n"), expected) << c.fault;
        EXPECT_EQ(a.Exchange("r80000000\n"), sinkGood) << c.fault << ": fires once";
    }
}

TEST_F(Faults, ChipSelectorAndTimes) {
    Add("silence,chip=sink,times=0");
    EXPECT_EQ(access.Exchange("r80000000\n").size(), 26u) << "the source is not affected";
    auto sink = pair.OpenDebugPort(0);
    PortAccess sinkAccess(*sink);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(sinkAccess.Exchange("r80000000\n"), "") << "times=0: always";
}

TEST_F(Faults, ProbabilityIsSeededAndRoughlyHonoured) {
    auto pattern = [](uint32_t seed) {
        BoardPair own;
        std::string error;
        EXPECT_TRUE(own.AddFault("silence,times=0,p=0.25,seed=" + std::to_string(seed), error));
        auto p = own.OpenDebugPort(1);
        PortAccess a(*p);
        std::string marks;
        for (int i = 0; i < 400; ++i) marks += a.Exchange("w60000000 00000000\n").empty() ? 'x' : '.';
        return marks;
    };
    std::string first = pattern(7);
    EXPECT_EQ(first, pattern(7));
    EXPECT_NE(first, pattern(8));
    auto silent = std::count(first.begin(), first.end(), 'x');
    EXPECT_GT(silent, 60);
    EXPECT_LT(silent, 140);
}

TEST_F(Faults, GoneUartFailsTheDevice) {
    Add("gone,after=2");
    EXPECT_EQ(access.Exchange("r80000000\n").size(), 26u);
    EXPECT_EQ(access.Exchange("r80000000\n").size(), 26u);
    uint8_t byte = 'r';
    port->Write(&byte, 1);  // completes nothing yet
    std::string rest = "80000000\n";
    port->Write(reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
    uint8_t buffer[50];
    EXPECT_EQ(port->Read(buffer, sizeof buffer, 10), -1);
    EXPECT_FALSE(port->Write(&byte, 1));
    EXPECT_EQ(port->ErrorText(), "Input/output error\n");
}

TEST_F(Faults, ControllerStuckBusy) {
    Add("busy,after=1");
    EXPECT_EQ(access.Read(0x80000054), 0u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(access.Read(0x80000054), 1u);
}

// The driver's negotiation writes a zero status and reads back what the flash kept.
TEST(DriverFaults, FlashRefusesTheStatusWrite) {
    BoardSession bench;
    bench.AddFault("status");
    bench.Identify(1);
    bench.ClearOutput();
    EXPECT_EQ(BoardSession::Run([] { WriteEnable(); }), -1);
    EXPECT_NE(bench.Output().find("Write: 0, read: 156\n"), std::string::npos) << bench.Output();
}

TEST_F(Faults, EraseReadinessFaults) {
    struct Case {
        const char* fault;
        uint64_t minUs;
        uint64_t maxUs;
    };
    const Case cases[] = {
        {"early", 140'000, 160'000},
        {"never", 60'000'000, UINT64_MAX},
    };
    for (const Case& c : cases) {
        BoardPair own;
        std::string error;
        ASSERT_TRUE(own.AddFault(c.fault, error));
        Registers r(own.Source());
        r.WriteEnable();
        r.Command(0x211, 0x01000000);  // a zero status: nothing protected
        r.WriteEnable();
        r.Command(0x201, 0xC7000000);
        uint64_t start = clock.NowUs();
        r.Control(0x231);
        r.Transmit(0x05000000);
        while ((r.Receive() & 0x01000000) && clock.NowUs() - start < 60'000'000) clock.SleepUs(1000);
        r.Control(0x301);
        uint64_t took = clock.NowUs() - start;
        EXPECT_GE(took, c.minUs) << c.fault;
        EXPECT_LE(took, c.maxUs) << c.fault;
    }
}

TEST(FaultSpecText, ParsesAndRejects) {
    FaultSpec setting;
    std::string error;
    ASSERT_TRUE(ParseFault("noise,after=3,bytes=70,p=0.5,seed=9,chip=source,times=2", setting, error));
    EXPECT_EQ(setting.kind, FaultKind::Noise);
    EXPECT_EQ(setting.after, 3u);
    EXPECT_EQ(setting.Bytes(), 70u);
    EXPECT_EQ(setting.probability, 0.5);
    EXPECT_EQ(setting.seed, 9u);
    EXPECT_EQ(setting.chip, FaultChip::Source);
    EXPECT_EQ(setting.times, 2u);
    for (const char* bad : {"", "lightning", "noise,after=x", "noise,p=2", "noise,chip=left", "noise,after"})
        EXPECT_FALSE(ParseFault(bad, setting, error)) << bad;
}

}  // namespace
}  // namespace board
