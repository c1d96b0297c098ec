#include <gtest/gtest.h>

#include "flash/FlashDriver.h"
#include "tests/flash/FlashTestSupport.h"

namespace flashtest {
namespace {

using Lines = std::vector<std::string>;

struct KindCase {
    const char* name;
    Side side;
    const char* setting;
    int32_t kind;
    uint32_t address;  // of a 128-byte page
};

const KindCase kKinds[] = {
    {"macronix source", Side::Source, "memory=mx25", KindMacronixFlash, 0x3FFF00},
    {"amic sink", Side::Sink, "memory=amic", KindAmicFlash, 0x010000},
    {"spansion source", Side::Source, "memory=spansion", KindSpansionFlash, 0x000080},
    {"spi eeprom 64k", Side::Source, "family=ostral,memory=spi-eeprom,size=64k", KindSpiEeprom, 0xFF00},
    {"spi eeprom 128k", Side::Sink, "family=ostral,memory=spi-eeprom,size=128k", KindSpiEeprom, 0x1FF00},
    {"ostral i2c 128k high half", Side::Source, "family=ostral,memory=i2c-eeprom,size=128k", KindOstralI2c,
     0x10080},
    {"ostral i2c 64k", Side::Sink, "family=ostral,memory=i2c-eeprom,size=64k", KindOstralI2c, 0x0100},
    {"marnel i2c 128k", Side::Source, "memory=i2c-eeprom,size=128k", KindMarnelI2c, 0x1FF00},
    {"marnel i2c 64k sink", Side::Sink, "memory=i2c-eeprom,size=64k", KindMarnelI2c, 0x8000},
};

// The flashes and the Marnel I2C EEPROM, told apart from the driver's own table.
bool AllowsFast(int32_t kind) {
    return kind >= KindMacronixFlash;
}

BoardSession* Open(std::unique_ptr<BoardSession>& holder, const KindCase& c) {
    const int target = static_cast<int>(c.side);
    holder = std::make_unique<BoardSession>(Chip(Side::Sink, target == 0 ? c.setting : ""),
                                            Chip(Side::Source, target == 1 ? c.setting : ""));
    EXPECT_EQ(holder->Identify(target), c.kind);
    holder->ClearOutput();
    return holder.get();
}

void WritePage(int32_t kind, uint32_t address, const std::vector<uint32_t>& words, bool fast) {
    StartWrite(address, kind);
    for (uint32_t word : words) {
        if (fast) {
            QueueFastWord(word, false);
        } else {
            WriteWord(kind, word);
        }
    }
    EndWrite(kind);
}

TEST(ProgramAndRead, EveryMemoryKindTakesAPageAndReadsItBack) {
    for (const KindCase& c : kKinds) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<BoardSession> holder;
        BoardSession& bench = *Open(holder, c);
        const int target = static_cast<int>(c.side);
        const std::vector<uint8_t> before = bench.Memory(target);
        const auto words = Pattern(c.address, 32);

        PrepareMemory(c.kind);
        WritePage(c.kind, c.address, words, false);
        EXPECT_EQ(WordsAt(bench.Memory(target), c.address, 32), words);
        EXPECT_EQ(bench.Memory(target).at(c.address - 1), before.at(c.address - 1));
        EXPECT_EQ(bench.Memory(target).at(c.address + 128), before.at(c.address + 128));

        std::vector<uint32_t> back(32);
        ReadMemory(c.address, 32, false, back.data(), c.kind);
        EXPECT_EQ(back, words);
        EXPECT_EQ(bench.Output(), "Reading eprom...\n");
        bench.ExpectCleanAudit();
    }
}

TEST(ProgramAndRead, FastBlocksBurnAndVerifyOnEveryFastKind) {
    for (const KindCase& c : kKinds) {
        if (!AllowsFast(c.kind)) continue;
        SCOPED_TRACE(c.name);
        std::unique_ptr<BoardSession> holder;
        BoardSession& bench = *Open(holder, c);
        const int target = static_cast<int>(c.side);
        const auto words = Pattern(c.address, 32);

        PrepareMemory(c.kind);
        WritePage(c.kind, c.address, words, true);
        EXPECT_EQ(FastPending(), 0);
        EXPECT_EQ(WordsAt(bench.Memory(target), c.address, 32), words);

        StartRead(c.kind, c.address, true);
        for (uint32_t word : words) QueueFastWord(word, true);
        CheckFastPending();
        EXPECT_EQ(Session().read.address, c.address + 128);
        EXPECT_EQ(FastPending(), 0);
        CloseRead(c.kind);
        EXPECT_EQ(bench.Output(), "");
        bench.ExpectCleanAudit();
    }
}

TEST(ProgramAndRead, FastQueueSendsAFullBufferBeforeItWouldOverflow) {
    // 40 words between two boundaries: more than the 128-byte buffer holds.
    BoardSession bench;
    bench.Identify(1);
    const uint32_t address = 0x2000;
    const auto words = Pattern(address, 40);
    WritePage(KindMacronixFlash, address, words, true);
    EXPECT_EQ(WordsAt(bench.Memory(1), address, 40), words);

    StartRead(KindMacronixFlash, address, true);
    for (size_t i = 0; i < words.size(); ++i) {
        QueueFastWord(words[i], true);
        EXPECT_LE(FastPending(), kBlockBufferSize);
    }
    EXPECT_EQ(Session().read.address, address + 128);  // the first full buffer was checked on the way
    EXPECT_EQ(FastPending(), 32);
    CheckFastPending();
    EXPECT_EQ(Session().read.address, address + 160);
    CloseRead(KindMacronixFlash);
    // Bytes queued as they are never overflow the block either: more than it holds is refused whole.
    const std::vector<uint8_t> tooMany(kBlockBufferSize + 1, 0);
    EXPECT_THROW(QueueFastBytes(tooMany.data(), tooMany.size()), CxExceptionError);
    EXPECT_EQ(FastPending(), 0);
    bench.ExpectCleanAudit();
}

TEST(ProgramAndRead, FastVerifyMismatchStopsAtTheBlockAddress) {
    BoardSession bench;
    bench.Identify(1);
    const uint32_t address = 0x4100;
    const auto words = Pattern(address, 64);
    WritePage(KindMacronixFlash, address, {words.begin(), words.begin() + 32}, true);
    WritePage(KindMacronixFlash, address + 128, {words.begin() + 32, words.end()}, true);
    bench.Memory(1)[address + 128 + 77] ^= 0x10;
    bench.ClearOutput();

    StartRead(KindMacronixFlash, address, true);
    for (size_t i = 0; i < 32; ++i) QueueFastWord(words[i], true);
    CheckFastPending();
    for (size_t i = 32; i < 64; ++i) QueueFastWord(words[i], true);
    EXPECT_EQ(BoardSession::Run([] { CheckFastPending(); }), -1);
    EXPECT_EQ(bench.Output(), "\r\n Quick Verifiyng Failed at address 00004180\r\n");
    EXPECT_EQ(bench.ErrorPauses(), 0);
}

TEST(ProgramSequence, SpiFlashPageProgramRegisterTraffic) {
    BoardSession bench;
    bench.Identify(1);
    WriteEnable();  // the one-time negotiation
    StartRegisterLog(bench);
    StartWrite(0x100, KindMacronixFlash);
    WriteWord(KindMacronixFlash, 0x11223344);
    WriteWord(KindMacronixFlash, 0x55667788);
    EndWrite(KindMacronixFlash);
    StopRegisterLog();
    EXPECT_EQ(RegisterLog(bench.Output()),
              (Lines{"w 80000050 30", "w 80000050 201", "w 80000058 6000000", "w 80000050 301",
                     "w 80000050 231", "w 80000058 2000100", "w 80000058 11223344", "w 80000058 55667788",
                     "w 80000050 301", "w 80000050 201", "w 80000058 4000000", "w 80000050 301"}));
    EXPECT_EQ(WordsAt(bench.Memory(1), 0x100, 2), (std::vector<uint32_t>{0x11223344, 0x55667788}));
    bench.ExpectCleanAudit();
}

TEST(ProgramSequence, OstralI2cWriteRegisterTraffic) {
    BoardSession bench(Chip(Side::Sink), Chip(Side::Source, "family=ostral,memory=i2c-eeprom,size=128k"));
    bench.Identify(1);
    PrepareMemory(KindOstralI2c);
    StartRegisterLog(bench);
    StartWrite(0x10, KindOstralI2c);
    WriteWord(KindOstralI2c, 0xCAFEF00D);
    EndWrite(KindOstralI2c);
    StopRegisterLog();
    EXPECT_EQ(RegisterLog(bench.Output()),
              (Lines{"w 80000050 13b", "w 80000050 10b", "w 80000050 10b", "w 80000058 a0000000",
                     "w 80000050 11b", "w 80000058 100000", "w 80000050 13b", "w 80000058 cafef00d",
                     "read 80000054", "w 80000050 17b", "w 80000050 13b"}));
    EXPECT_EQ(WordsAt(bench.Memory(1), 0x10, 1), std::vector<uint32_t>{0xCAFEF00D});
    bench.ExpectCleanAudit();
}

TEST(ProgramSequence, I2cDeviceByteFollowsTheAddressHalf) {
    const struct {
        uint32_t address;
        const char* device;
        const char* addressBytes;
    } cases[] = {{0x12345, "a8000000", "23450000"}, {0x2345, "a0000000", "23450000"}};
    for (const auto& c : cases) {
        BoardSession bench(Chip(Side::Sink), Chip(Side::Source, "family=ostral,memory=i2c-eeprom,size=128k"));
        bench.Identify(1);
        PrepareMemory(KindOstralI2c);
        StartRegisterLog(bench);
        StartWrite(c.address, KindOstralI2c);
        const Lines log = RegisterLog(bench.Output());
        StopRegisterLog();
        ASSERT_EQ(log.size(), 6u);
        EXPECT_EQ(log[3], std::string("w 80000058 ") + c.device);
        EXPECT_EQ(log[5], std::string("w 80000058 ") + c.addressBytes);
        EndWrite(KindOstralI2c);
    }
}

TEST(ProgramSequence, MarnelI2cReadTurnsTheWritePhaseIntoARead) {
    BoardSession bench(Chip(Side::Sink), Chip(Side::Source, "memory=i2c-eeprom,size=128k"));
    bench.Identify(1);
    SeedWords(bench.Memory(1), 0x100, {0x01020304});
    PrepareMemory(KindMarnelI2c);
    StartRegisterLog(bench);
    StartRead(KindMarnelI2c, 0x100, false);
    StopRegisterLog();
    EXPECT_EQ(RegisterLog(bench.Output()),
              (Lines{"w 80000050 10b", "w 80000058 a0000000", "w 80000050 11b", "w 80000058 1000000",
                     "read 80000054", "w 80000050 19b", "w 80000050 11b", "w 80000050 15b", "w 80000050 14b",
                     "w 80000058 a1000000"}));
    I2cMarkLast(KindMarnelI2c);
    EXPECT_EQ(ReadWord(KindMarnelI2c), 0x01020304u);
    CloseRead(KindMarnelI2c);
    bench.ExpectCleanAudit();
}

TEST(ProgramSequence, I2cReadEndedBeforeItsLastWordWasMarkedReleasesTheBus) {
    for (const char* setting : {"family=ostral,memory=i2c-eeprom,size=64k", "memory=i2c-eeprom,size=64k"}) {
        SCOPED_TRACE(setting);
        BoardSession bench(Chip(Side::Sink), Chip(Side::Source, setting));
        const int32_t kind = bench.Identify(1);
        SeedWords(bench.Memory(1), 0x40, {0xAABBCCDD, 0x11223344, 0x55667788});
        PrepareMemory(kind);
        StartRead(kind, 0x40, false);
        EXPECT_EQ(ReadWord(kind), 0xAABBCCDDu);
        EXPECT_EQ(ReadWord(kind), 0x11223344u);
        CloseRead(kind);
        // The bus is free again: a new read works.
        std::vector<uint32_t> back(1);
        ReadMemory(0x48, 1, false, back.data(), kind);
        EXPECT_EQ(back[0], 0x55667788u);
        bench.ExpectCleanAudit();
    }
}

TEST(ReadMemory, PrintsFourWordsALineWithTheAddress) {
    BoardSession bench;
    bench.Identify(1);
    SeedWords(bench.Memory(1), 0, {0x00000001, 0xDEADBEEF, 0x12345678, 0xA0B0C0D0, 0xFFFFFFFF, 0x0000ABCD});
    SeedWords(bench.Memory(1), 0x3FFFF0, {1, 2, 3, 4});
    bench.ClearOutput();
    ReadMemory(0, 6, true, nullptr, KindMacronixFlash);
    ReadMemory(0x3FFFF0, 4, true, nullptr, KindMacronixFlash);
    EXPECT_EQ(bench.Output(),
              "Reading eprom...\n"
              "00000:\t00000001\tdeadbeef\t12345678\ta0b0c0d0\t\n"
              "00010:\tffffffff\t0000abcd\t\n"
              "Reading eprom...\n"
              "3ffff0:\t00000001\t00000002\t00000003\t00000004\t\n");
    bench.ExpectCleanAudit();
}

TEST(ReadMemory, NothingToReadSendsNoReadCommand) {
    for (int32_t count : {0, -3}) {
        BoardSession bench;
        bench.Identify(1);
        StartRegisterLog(bench);
        ReadMemory(0x100, count, true, nullptr, KindMacronixFlash);
        StopRegisterLog();
        EXPECT_EQ(RegisterLog(bench.Output()), Lines{});
        EXPECT_EQ(bench.Output(), "Reading eprom...\n");
        bench.ExpectCleanAudit();
    }
}

}  // namespace
}  // namespace flashtest
