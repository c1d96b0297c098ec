// The mailbox protocol over a register interface that records every access.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "link/uart/IndirectAccess.h"
#include "platform/Clock.h"

namespace {

// Registers in a map; the mailbox finishes a command after a set number of status polls.
struct RecordingRegisters final : IndirectAccess::CDirectAccess {
    std::map<uint32_t, uint32_t> values;
    std::vector<std::string> log;
    uint32_t busyPolls = 0;  // polls that still show the command bits; ~0u: never idle
    uint32_t statusRegister = 0;

    uint32_t ReadDirect(uint32_t address, bool isTX) override {
        log.push_back(Entry("r", address, 0, isTX));
        platform::CurrentClock().SleepMs(1);
        uint32_t value = values[address];
        if (address == statusRegister && busyPolls > 0) {
            if (busyPolls != ~0u) --busyPolls;
            return value;
        }
        return address == statusRegister ? value & ~3u : value;
    }
    bool WriteDirect(uint32_t address, uint32_t value, bool isTX) override {
        log.push_back(Entry("w", address, value, isTX));
        values[address] = value;
        return true;
    }
    static std::string Entry(const char* kind, uint32_t address, uint32_t value, bool isTX) {
        char text[48];
        std::snprintf(text, sizeof text, "%s %08x %08x %s", kind, address, value, isTX ? "TX" : "RX");
        return text;
    }
};

TEST(IndirectAccessTest, MailboxRegistersFollowTargetAndFamily) {
    RecordingRegisters registers;
    IndirectAccess::CIndirectAccess mailbox(&registers);
    EXPECT_EQ(mailbox.AddressRegister(), 0x810003f4u) << "a fresh object addresses the TX Ostral mailbox";
    const struct {
        bool tx, ostral;
        uint32_t address, data;
    } cases[] = {{true, true, 0x810003f4, 0x810003f8},
                 {true, false, 0x80000750, 0x80000754},
                 {false, true, 0x81000000, 0x81000004},
                 {false, false, 0x80000820, 0x80000824}};
    for (const auto& c : cases) {
        c.tx ? mailbox.set_TargetTX() : mailbox.set_TargetRX();
        c.ostral ? mailbox.set_ChipOstral() : mailbox.set_ChipRuvo();
        EXPECT_EQ(mailbox.AddressRegister(), c.address);
        EXPECT_EQ(mailbox.DataRegister(), c.data);
    }
}

TEST(IndirectAccessTest, ReadStartsWithBitOnePollsAndReadsTheData) {
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    RecordingRegisters registers;
    registers.statusRegister = 0x810003f4;
    registers.busyPolls = 2;
    registers.values[0x810003f8] = 0x11223344;
    IndirectAccess::CIndirectAccess mailbox(&registers);
    bool done = false;
    EXPECT_EQ(mailbox.Read(0x40001000, done), 0x11223344u);
    EXPECT_TRUE(done);
    EXPECT_EQ(registers.log, (std::vector<std::string>{"w 810003f4 40001002 TX", "r 810003f4 00000000 TX",
                                                       "r 810003f4 00000000 TX", "r 810003f4 00000000 TX",
                                                       "r 810003f8 00000000 TX"}));
}

TEST(IndirectAccessTest, WriteStoresDataThenStartsWithBitZero) {
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    RecordingRegisters registers;
    registers.statusRegister = 0x80000820;
    IndirectAccess::CIndirectAccess mailbox(&registers);
    mailbox.set_TargetRX();
    mailbox.set_ChipRuvo();
    EXPECT_TRUE(mailbox.Write(0x88000010, 5));
    EXPECT_EQ(registers.log, (std::vector<std::string>{"w 80000824 00000005 RX", "w 80000820 88000011 RX",
                                                       "r 80000820 00000000 RX"}));
}

TEST(IndirectAccessTest, BusyMailboxGivesUpJustAfter600Ms) {
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    RecordingRegisters registers;
    registers.statusRegister = 0x810003f4;
    registers.busyPolls = ~0u;
    IndirectAccess::CIndirectAccess mailbox(&registers);
    const uint64_t start = clock.NowUs();
    bool done = true;
    EXPECT_EQ(mailbox.Read(0x40001000, done), 0xFFFFFFFFu);
    EXPECT_FALSE(done);
    const uint64_t elapsedMs = (clock.NowUs() - start) / 1000;
    EXPECT_GT(elapsedMs, 600u);
    EXPECT_LT(elapsedMs, 610u);
    EXPECT_FALSE(mailbox.Write(0x40001000, 1));
}

}  // namespace
