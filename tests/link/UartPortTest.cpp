// Opening a port and collecting answers: chunking, stale answers, noise, floods, time limits.
#include <gtest/gtest.h>

#include <cstring>

#include "console/CxException.h"
#include "tests/link/ScriptedDevice.h"
#include "tests/support/Ports.h"
#include "tests/support/UartTest.h"

namespace linktest {
using namespace testsupport;
namespace {

const std::string kReady = "\r\nReady\r\n";

class UartPortTest : public UartTest {
  protected:
    ScriptedDevice device;
    CountingOpener opener{[this](const std::string&) {
        platform::DeviceOpenResult result;
        result.device = std::make_unique<BorrowedDevice>(device);
        return result;
    }};
    CUartLib uart;

    // Sends one command and collects its answer into a buffer of the given size.
    int32_t Exchange(std::vector<std::string> chunks, char* buffer, size_t size) {
        device.answers.push_back(std::move(chunks));
        uart.Send("x\n", 2);
        return uart.Receive(buffer, size);
    }
};

TEST_F(UartPortTest, PortNameGivesPortNumber) {
    const struct {
        const char* name;
        int32_t number;
    } cases[] = {{"com12", 12}, {"com0x1f", 31}, {"com0x1F", 31}, {"comb101", 5},
                 {"com", 0},    {"com7z", 7},    {"com-3", 0}};
    for (const auto& c : cases) {
        CUartLib port;
        port.Open(c.name, 100);
        EXPECT_EQ(port.PortNumber(), c.number) << c.name;
        EXPECT_TRUE(port.PortInitialized()) << c.name;
    }
}

TEST_F(UartPortTest, Com0OpensNothingAndEveryExchangeIsEmpty) {
    CUartLib port;
    port.Open("com0", 600);
    EXPECT_EQ(opener.opens, 0);
    EXPECT_FALSE(port.PortInitialized());
    EXPECT_EQ(port.PortNumber(), 0);
    char buffer[200];
    EXPECT_EQ(port.Receive(buffer, sizeof buffer), 0);
    EXPECT_EQ(port.ReadRegister(0x80000000), 0u);
    port.WriteRegister(0x80000050, 1);
    const uint8_t block[4] = {};
    port.BurnBlock(block, 3);
    EXPECT_FALSE(port.VerifyBlock(block, 3, false));
    EXPECT_TRUE(device.written.empty());
}

// A name longer than the 9 characters the port name holds must not be cut to another port.
TEST_F(UartPortTest, NameThatDoesNotFitIsAPortThatCannotBeOpened) {
    for (const char* name : {"com123456789", "com4294967295", "com0xFFFFFFFF"}) {
        CUartLib port;
        try {
            port.Open(name, 600);
            ADD_FAILURE() << name << " opened";
        } catch (const CxExceptionError& error) {
            EXPECT_EQ(error.message,
                      std::string("Failed to open com port ") + name + ", reason: File name too long\n");
        }
        EXPECT_FALSE(port.PortInitialized());
    }
    EXPECT_EQ(opener.opens, 0);
    CUartLib longest;
    longest.Open("com123456", 600);
    EXPECT_EQ(longest.PortName(), "com123456");
    EXPECT_EQ(opener.lastName, "com123456");
}

TEST(UartOpenFailureTest, EachFailingStepHasItsText) {
    ScopedPrefix prefix;
    const struct {
        platform::OpenFailure failure;
        const char* expected;
    } cases[] = {
        {platform::OpenFailure::Open, "Failed to open com port com3, reason: No such file or directory\n"},
        {platform::OpenFailure::Mask, "Failed to Set Comm Mask Reason: No such file or directory\n"},
        {platform::OpenFailure::State, "Failed to Set Comm State Reason: No such file or directory\n"},
        {platform::OpenFailure::TimeOuts, "Error setting time-outs Reason: No such file or directory\n"},
        {platform::OpenFailure::None, "Failed to open com port com3, reason: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        ScopedPortOpener opener(
            [&](const std::string&) { return OpenFailed(c.failure, "No such file or directory\n"); });
        CUartLib port;
        try {
            port.Open("com3", 600);
            ADD_FAILURE() << c.expected;
        } catch (const CxExceptionError& error) {
            EXPECT_EQ(error.message, c.expected);
            EXPECT_EQ(error.code, 0);
        }
        EXPECT_FALSE(port.PortInitialized());
    }
}

struct ReceiveCase {
    const char* name;
    std::vector<std::string> chunks;
    int32_t expected;
    std::string bufferStart;
};

TEST_F(UartPortTest, ReceiveCompletesDropsAndGivesUpAsTheAnswerRulesSay) {
    const std::string stale19 = "\r\nold answer....y\r\n";
    const std::string stale20 = std::string(1, '\0') + "\nold answer.....y\r\n";
    const std::string noise30(30, '#');
    const std::string noise31(31, '%');
    const ReceiveCase cases[] = {
        {"ready in two pieces", {"\r\nRe", "ady\r\n"}, 9, kReady},
        {"read answer", {"80000000=ABCDEF01\r\nReady\r\n"}, 26, "80000000=ABCDEF01"},
        {"pass answer", {"\r\nPass\r\nReady\r\n"}, 15, "\r\nPass"},
        {"stale 19 then ready", {stale19, kReady}, 9, kReady},
        {"stale 19 and ready in one chunk", {stale19 + kReady}, 9, kReady},
        {"stale 20 behind a zero byte", {stale20, kReady}, 9, kReady},
        {"61 bytes of noise, then ready", {noise30, noise31, kReady}, 9, kReady},
        {"full chunks flood the port", {std::string(50, 'a'), std::string(50, 'b')}, 0, ""},
        {"silence", {}, 0, ""},
        {"ready without its last bytes", {"\r\nRead"}, 6, "\r\nRead"},
        {"a ready answer of the wrong length waits for time", {"x\r\nReady\r\n"}, 10, "x\r\nReady"},
    };
    for (const auto& c : cases) {
        char buffer[200];
        std::memset(buffer, 'Z', sizeof buffer);
        uart.Open("com3", 100);
        EXPECT_EQ(Exchange(c.chunks, buffer, sizeof buffer), c.expected) << c.name;
        EXPECT_EQ(std::string(buffer, c.bufferStart.size()), c.bufferStart) << c.name;
        if (c.expected > 0) {
            EXPECT_EQ(buffer[c.expected], '\0') << c.name;
        }
        device.Flush();
    }
}

TEST_F(UartPortTest, CompleteAnswerReturnsWithoutWaiting) {
    uart.Open("com3", 600);
    char buffer[200];
    const uint64_t start = clock.NowUs();
    EXPECT_EQ(Exchange({"\r\nRe", "ady\r\n"}, buffer, sizeof buffer), 9);
    EXPECT_LT(clock.NowUs() - start, 1000u);
}

TEST_F(UartPortTest, SilenceEndsAfterTheReadTimeOut) {
    for (uint32_t timeout : {100u, 600u}) {
        uart.Open("com3", timeout);
        char buffer[200];
        const uint64_t start = clock.NowUs();
        EXPECT_EQ(Exchange({}, buffer, sizeof buffer), 0);
        const uint64_t elapsedMs = (clock.NowUs() - start) / 1000;
        EXPECT_GT(elapsedMs, timeout);
        EXPECT_LE(elapsedMs, 2 * timeout + 1);
    }
}

TEST_F(UartPortTest, TrickleEndsAfterOneSecond) {
    uart.Open("com3", 600);
    device.msPerRead = 30;
    char buffer[200];
    const uint64_t start = clock.NowUs();
    const int32_t received = Exchange(std::vector<std::string>(100, "."), buffer, sizeof buffer);
    const uint64_t elapsedMs = (clock.NowUs() - start) / 1000;
    EXPECT_GT(received, 0);
    EXPECT_GE(elapsedMs, 1000u);
    EXPECT_LE(elapsedMs, 1040u);
}

TEST_F(UartPortTest, AnswerBeyondTheBufferRaisesInsteadOfOverrunning) {
    uart.Open("com3", 600);
    char buffer[128];
    try {
        Exchange({std::string(40, 'n'), std::string(40, 'm')}, buffer, sizeof buffer);
        ADD_FAILURE() << "no error";
    } catch (const CxExceptionError& error) {
        EXPECT_EQ(error.message, "Error out of bounds in CUartLib::Receive");
    }
}

TEST_F(UartPortTest, FailedDeviceEndsTheReceiveAtOnce) {
    uart.Open("com3", 600);
    device.failed = true;
    char buffer[200];
    const uint64_t start = clock.NowUs();
    EXPECT_EQ(Exchange({kReady}, buffer, sizeof buffer), 0);
    EXPECT_LT(clock.NowUs() - start, 1000u);
}

TEST_F(UartPortTest, FailedWriteIsReportedAsAWarningWithTheCountWritten) {
    uart.Open("com3", 600);
    device.writeFails = true;
    device.writtenBeforeFailure = 4;
    uart.Send("r80000000\n", 10);
    EXPECT_EQ(console.text, "Warning: Tried to write 10 bytes, but actually wrote 4 bytes instead.");
}

}  // namespace
}  // namespace linktest
