// The UART link against the simulated board's firmware in-process: round trips, the mailbox, and
// every answer fault of the board with the outcome the protocol gives it.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "board/BoardPair.h"
#include "console/CxException.h"
#include "link/TargetSession.h"
#include "tests/support/Ports.h"
#include "tests/support/UartTest.h"

namespace linktest {
using namespace testsupport;
namespace {

constexpr uint32_t kPlainRegister = 0x80000200;
constexpr uint32_t kIndirectRegister = 0x85000010;

class BoardLinkTest : public UartTest {
  protected:
    board::BoardPair pair;
};

TEST_F(BoardLinkTest, RegistersAndMailboxRoundTripOnBothChips) {
    BoardPorts ports(pair);
    ports.Attach("com1", 1);
    ports.Attach("com2", 0);
    for (int target : {0, 1}) {
        CUartLib uart;
        uart.Open(target == 1 ? "com1" : "com2", 600);
        const uint32_t seed = 0x1000u * uint32_t(target + 1);
        uart.WriteRegister(kPlainRegister, seed + 1);
        EXPECT_EQ(uart.ReadRegister(kPlainRegister), seed + 1);
        EXPECT_EQ(pair.Target(target).ReadRegister(kPlainRegister), seed + 1);

        uart.WriteAddress(kIndirectRegister, seed + 2, uint8_t(target));
        EXPECT_EQ(pair.Target(target).ReadRegister(kIndirectRegister), seed + 2);
        pair.Target(target).WriteRegister(kIndirectRegister, seed + 3);
        EXPECT_EQ(uart.ReadAddress(kIndirectRegister, uint8_t(target)), seed + 3);
        EXPECT_EQ(uart.Indirect().TargetTX(), target == 1);
        EXPECT_EQ(uart.Indirect().ChipOstral(), !pair.Target(target).Config().RuvoMailbox());
        EXPECT_EQ(uart.ReadAddress(0x80000000, uint8_t(target)), pair.Target(target).Config().Id());
    }
    EXPECT_TRUE(console.text.empty()) << console.text;
}

struct FaultCase {
    const char* fault;
    uint32_t baud;
    std::optional<std::string> error;  // none: the right value comes back
    int opens;                         // restarts show as extra opens
    int warnings;
};

TEST_F(BoardLinkTest, ReadUnderEachFaultGivesTheValueOrItsDefinedError) {
    const std::string flood17 = std::string(16, 'U');
    const FaultCase cases[] = {
        {"noise", 0, {}, 1, 0},
        {"noise,bytes=70", 0, {}, 2, 0},  // the first 50 bytes look like a flood: restart
        {"noise,bytes=70", 115200, {}, 1, 0},
        {"stale", 0, {}, 1, 0},
        {"stale", 115200, {}, 1, 0},
        {"silence", 0, {}, 2, 0},
        {"silence,times=2", 0, "Can't read from chip", 2, 0},
        {"echo", 0, {}, 1, 1},
        {"echo,times=0", 0, "Error shouldn't reach here", 1, 2},
        {"flood", 0, {}, 2, 0},
        {"flood", 115200, "Invalid response. Len: 17, string: " + flood17, 1, 0},
        {"gone", 0, "Failed to open com port com1, reason: No such file or directory\n", 2, 0},
    };
    for (const auto& c : cases) {
        board::BoardPair faulty;
        faulty.Source().WriteRegister(kPlainRegister, 0xA5A5F00D);
        BoardPorts ports(faulty, {c.baud});
        ports.Attach("com1", 1);
        console.text.clear();
        CUartLib uart;
        uart.Open("com1", 100);
        std::string parseError;
        ASSERT_TRUE(faulty.AddFault(c.fault, parseError)) << parseError;
        uint32_t value = 0;
        const auto error = Raised([&] { value = uart.ReadRegister(kPlainRegister); });
        const std::string name = std::string(c.fault) + " at " + std::to_string(c.baud);
        EXPECT_EQ(error, c.error) << name;
        if (!c.error) {
            EXPECT_EQ(value, 0xA5A5F00Du) << name;
        }
        EXPECT_EQ(int(ports.opened.size()), c.opens) << name;
        size_t warnings = 0;
        for (size_t at = console.text.find("Warning: Got unexpected read answer"); at != std::string::npos;
             at = console.text.find("Warning: Got unexpected read answer", at + 1)) {
            ++warnings;
        }
        EXPECT_EQ(int(warnings), c.warnings) << name << "\n" << console.text;
    }
}

TEST_F(BoardLinkTest, WriteUnderEachFaultSucceedsOrRaisesItsText) {
    const struct {
        const char* fault;
        std::optional<std::string> error;
        std::string console;
    } cases[] = {
        {"stale", {}, ""},
        {"noise", "Didn't get 'Ready' response for write operation. recLen=17, buf=########\r\nReady\r\n",
         "error read buf. recLen=17\nbuff: ########\r\nReady\r\n\n"},
        {"silence", "Didn't get 'Ready' response for write operation. recLen=0",
         "error read buf. recLen=0\n"},
        {"gone", "Didn't get 'Ready' response for write operation. recLen=0",
         "Warning: Tried to write 19 bytes, but actually wrote 0 bytes instead.error read buf. recLen=0\n"},
    };
    for (const auto& c : cases) {
        board::BoardPair faulty;
        BoardPorts ports(faulty);
        ports.Attach("com1", 1);
        console.text.clear();
        CUartLib uart;
        uart.Open("com1", 100);
        std::string parseError;
        ASSERT_TRUE(faulty.AddFault(c.fault, parseError)) << parseError;
        EXPECT_EQ(Raised([&] { uart.WriteRegister(kPlainRegister, 7); }), c.error) << c.fault;
        EXPECT_EQ(console.text, c.console) << c.fault;
        if (!c.error) {
            EXPECT_EQ(faulty.Source().ReadRegister(kPlainRegister), 7u) << c.fault;
        }
    }
}

TEST_F(BoardLinkTest, PortThatWentAwayWarnsOfTheLostWrite) {
    std::string parseError;
    ASSERT_TRUE(pair.AddFault("gone,after=1", parseError));
    BoardPorts ports(pair);
    ports.Attach("com1", 1);
    CUartLib uart;
    uart.Open("com1", 100);
    uart.WriteRegister(kPlainRegister, 1);
    // The command that makes the UART go away is taken but never answered.
    EXPECT_EQ(Raised([&] { uart.WriteRegister(kPlainRegister, 2); }),
              "Didn't get 'Ready' response for write operation. recLen=0");
    console.text.clear();
    EXPECT_EQ(Raised([&] { uart.WriteRegister(kPlainRegister, 3); }),
              "Didn't get 'Ready' response for write operation. recLen=0");
    EXPECT_EQ(
        console.text,
        "Warning: Tried to write 19 bytes, but actually wrote 0 bytes instead.error read buf. recLen=0\n");
}

TEST_F(BoardLinkTest, NoiseBeyondSixtyBytesIsClearedIntoTheTraceOnly) {
    TempDir dir;
    const std::string traceFile = dir.Path() + "/trace.log";
    ::setenv("TOLVAR_TRACE", traceFile.c_str(), 1);
    board::BoardPair faulty;
    std::string parseError;
    ASSERT_TRUE(faulty.AddFault("noise,bytes=70", parseError));
    BoardPorts ports(faulty, {115200});
    ports.Attach("com1", 1);
    CUartLib uart;
    uart.Open("com1", 100);
    EXPECT_EQ(uart.ReadRegister(0x80000000), faulty.Source().Config().Id());
    ::unsetenv("TOLVAR_TRACE");
    std::stringstream trace;
    trace << std::ifstream(traceFile).rdbuf();
    EXPECT_NE(trace.str().find("Clear garbage len: 61, str: " + std::string(60, '#') + "\n"),
              std::string::npos)
        << trace.str();
    EXPECT_NE(trace.str().find(">> r80000000\n"), std::string::npos);
    EXPECT_TRUE(console.text.empty()) << console.text;
}

class SessionLinkTest : public BoardLinkTest {
  protected:
    void TearDown() override { ResetTargetSession(); }
};

TEST_F(SessionLinkTest, OpenUartLinkReachesTheBoardAndReplacesAnEarlierPort) {
    BoardPorts ports(pair);
    ports.Attach("com1", 1);
    ports.Attach("com2", 0);
    Session().link.kind = Uart;
    OpenUartLink(2);
    EXPECT_TRUE(TargetIsSide(0));
    OpenUartLink(1);
    EXPECT_TRUE(TargetIsSide(1));
    TargetWrite(kPlainRegister, 0x55);
    EXPECT_EQ(pair.Source().ReadRegister(kPlainRegister), 0x55u);
    EXPECT_EQ(Session().link.uart->PortName(), "com1");
}

TEST_F(SessionLinkTest, PortNumbersThatMakeNoPortNameFailToOpen) {
    Session().link.kind = Uart;
    const struct {
        uint32_t port;
        const char* error;
    } cases[] = {
        {123456789, "Failed to open com port com123456789, reason: File name too long\n"},
        {0xFFFFFFFF, "Failed to open com port com-1, reason: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Raised([&] { OpenUartLink(c.port); }), c.error);
        ASSERT_TRUE(Session().link.uart);
        EXPECT_FALSE(Session().link.uart->PortInitialized());
        EXPECT_EQ(TargetRead(0x80000000), 0u);
    }
}

}  // namespace
}  // namespace linktest
