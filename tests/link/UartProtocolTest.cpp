// The register protocol over a scripted port: what goes on the wire, retries, restarts, texts.
#include <gtest/gtest.h>

#include <optional>

#include "chip/ChipFacts.h"
#include "console/CxException.h"
#include "link/TargetSession.h"
#include "tests/link/ScriptedDevice.h"
#include "tests/support/Ports.h"
#include "tests/support/UartTest.h"

namespace linktest {
using namespace testsupport;
namespace {

using Answers = std::vector<std::vector<std::string>>;

std::string ReadAnswer(const char* echoedAddress, const char* value) {
    return std::string(echoedAddress) + "=" + value + "\r\nReady\r\n";
}

const std::string kReady = "\r\nReady\r\n";

class UartProtocolTest : public UartTest {
  protected:
    ScriptedDevice device;
    bool failReopen = false;
    CountingOpener opener{[this](const std::string&) {
        if (failReopen && opener.opens > 1) {
            return OpenFailed(platform::OpenFailure::Open, "No such file or directory\n");
        }
        platform::DeviceOpenResult result;
        result.device = std::make_unique<BorrowedDevice>(device);
        return result;
    }};
    CUartLib uart;

    void SetUp() override { uart.Open("com3", 600); }
    void Script(const Answers& answers) {
        for (const auto& chunks : answers) device.answers.push_back(chunks);
    }
};

struct ReadCase {
    const char* name;
    Answers answers;
    std::optional<uint32_t> value;
    std::optional<std::string> error;
    int opens;
    size_t commands;
    std::string console;
};

TEST_F(UartProtocolTest, ReadRegisterRetriesRestartsAndReportsAsTheProtocolSays) {
    const std::string good = ReadAnswer("0000000c", "ABCDEF01");
    const std::string other = ReadAnswer("00000010", "00000001");
    const std::string warning =
        "Warning: Got unexpected read answer. Tried to read address 0x0000000c, but got response to address "
        "0x00000010\n\n";
    const ReadCase cases[] = {
        {"upper-case answer", {{good}}, 0xabcdef01, {}, 1, 1, ""},
        {"answer after a leading noise byte", {{"\n" + ReadAnswer("0000000c", "00000005")}}, 5, {}, 1, 1, ""},
        {"silence, restart, answer", {{}, {good}}, 0xabcdef01, {}, 2, 2, ""},
        {"silence twice", {{}, {}}, {}, "Can't read from chip", 2, 2, ""},
        {"other address, then the right one", {{other}, {good}}, 0xabcdef01, {}, 1, 2, warning},
        {"other address twice",
         {{other}, {other}},
         {},
         "Error shouldn't reach here",
         1,
         2,
         warning + warning},
        {"no equals sign",
         {{kReady}},
         {},
         "Invalid response. Len: 9, string: \nReady\r\n",
         1,
         1,
         "Invalid response. Got string: \nReady\r\n\n"},
        {"too few characters before the equals sign",
         {{"1234=5678\r\nReady\r\n"}},
         {},
         "Invalid response. Len: 18, string: 234=5678\r\nReady\r\n",
         1,
         1,
         "Invalid response. Got string: 234=5678\r\nReady\r\n\n"},
    };
    for (const auto& c : cases) {
        CUartLib port;
        const int opensBefore = opener.opens;
        device = ScriptedDevice{};
        console.text.clear();
        port.Open("com3", 600);
        Script(c.answers);
        uint32_t value = 0;
        const auto error = Raised([&] { value = port.ReadRegister(0xc); });
        EXPECT_EQ(error, c.error) << c.name;
        if (c.value) {
            EXPECT_EQ(value, *c.value) << c.name;
        }
        EXPECT_EQ(opener.opens - opensBefore, c.opens) << c.name;
        EXPECT_EQ(device.written, std::vector<std::string>(c.commands, "r0000000c\n")) << c.name;
        EXPECT_EQ(console.text, c.console) << c.name;
    }
}

TEST_F(UartProtocolTest, RestartThatCannotReopenRaisesTheOpenTextAndLeavesThePortClosed) {
    failReopen = true;
    Script({{}});
    EXPECT_EQ(Raised([&] { uart.ReadRegister(0x80000000); }),
              "Failed to open com port com3, reason: No such file or directory\n");
    EXPECT_FALSE(uart.PortInitialized());
    EXPECT_EQ(uart.ReadRegister(0x80000000), 0u);
    EXPECT_NO_THROW(uart.WriteRegister(0x80000050, 1));
}

struct WriteCase {
    const char* name;
    Answers answers;
    std::optional<std::string> error;
    std::string console;
};

TEST_F(UartProtocolTest, WriteRegisterWantsTheReadyAnswerAndNeverRetries) {
    const WriteCase cases[] = {
        {"ready", {{kReady}}, {}, ""},
        {"ready in pieces", {{"\r\n", "Ready\r\n"}}, {}, ""},
        {"silence",
         {{}},
         "Didn't get 'Ready' response for write operation. recLen=0",
         "error read buf. recLen=0\n"},
        {"error answer",
         {{"\r\nError\r\n"}},
         "Didn't get 'Ready' response for write operation. recLen=9, buf=\r\nError\r\n",
         "error read buf. recLen=9\nbuff: \r\nError\r\n\n"},
    };
    for (const auto& c : cases) {
        device = ScriptedDevice{};
        console.text.clear();
        Script(c.answers);
        EXPECT_EQ(Raised([&] { uart.WriteRegister(0x8000005c, 0x12345678); }), c.error) << c.name;
        EXPECT_EQ(device.written, std::vector<std::string>{"w8000005c 12345678\n"}) << c.name;
        EXPECT_EQ(console.text, c.console) << c.name;
    }
}

TEST_F(UartProtocolTest, BlockCommandsCarryTheSessionBufferAndCheckTheirLength) {
    auto& block = Session().fast.buffer;
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
    Script({{kReady}});
    uart.BurnBlock(block.data(), 128);
    ASSERT_EQ(device.written.size(), 1u);
    const std::string& sent = device.written[0];
    ASSERT_EQ(sent.size(), 132u);
    EXPECT_EQ(sent.substr(0, 2), std::string("B\x80", 2));
    EXPECT_EQ(sent.substr(2, 128), std::string(reinterpret_cast<const char*>(block.data()), 128));
    EXPECT_EQ(sent.substr(130), "\r\n");

    for (uint8_t length : {0, 3, 6, 130, 255}) {
        EXPECT_EQ(Raised([&] { uart.BurnBlock(block.data(), length); }),
                  "Invalid length argument for burn operation");
        EXPECT_EQ(Raised([&] { uart.VerifyBlock(block.data(), length, false); }),
                  "Invalid length argument for verify operation");
    }
    EXPECT_EQ(device.written.size(), 1u);

    Script({{"\r\nError\r\n"}});
    EXPECT_EQ(Raised([&] { uart.BurnBlock(block.data(), 4); }), "Error burn data");
}

TEST_F(UartProtocolTest, VerifyBlockPassesOnlyOnThePassAnswer) {
    const struct {
        std::string answer;
        bool passed;
    } cases[] = {
        {"\r\nPass\r\nReady\r\n", true},
        {"\r\nFail\r\nReady\r\n", false},
        {kReady, false},
        {"", false},
    };
    for (const auto& c : cases) {
        Script({{c.answer}});
        EXPECT_EQ(uart.VerifyBlock(Session().fast.buffer.data(), 8, false), c.passed) << c.answer;
        EXPECT_EQ(device.written.back().substr(0, 2), std::string("T\x08", 2));
    }
}

TEST_F(UartProtocolTest, VerifyBlockInDebugModeShowsBothBuffers) {
    auto& block = Session().fast.buffer;
    for (uint8_t i = 0; i < 4; ++i) block[i] = uint8_t(0xf0 + i);
    Script({{"\r\nPass\r\nReady\r\n"}});
    EXPECT_TRUE(uart.VerifyBlock(block.data(), 4, true));
    EXPECT_EQ(console.text,
              "Send Buffer  54 04 f0 f1 f2 f3 0d 0a\r\n"
              "Recieved Buffer \r\nPass\r\nReady\r\n\r\n");
}

TEST(UartAddressClassTest, MailboxRangesAreIndirect) {
    const struct {
        uint32_t address;
        bool indirect;
    } cases[] = {{0x3effffff, false}, {0x3f000000, true},  {0x5fffffff, true}, {0x60000000, false},
                 {0x84fffffc, false}, {0x85000000, true},  {0x85000010, true}, {0x8fffffff, true},
                 {0x90000000, false}, {0x80000000, false}, {0x00000000, false}};
    for (const auto& c : cases)
        EXPECT_EQ(chip::IsIndirectAddress(c.address), c.indirect) << std::hex << c.address;
}

TEST_F(UartProtocolTest, IndirectReadGoesThroughTheSourceChipMailbox) {
    Script({{ReadAnswer("80000000", "01000041")},
            {ReadAnswer("80000404", "38ccc000")},
            {kReady},
            {ReadAnswer("810003f4", "85000010")},
            {ReadAnswer("810003f8", "cafef00d")}});
    EXPECT_EQ(uart.ReadAddress(0x85000010, 1), 0xcafef00du);
    EXPECT_EQ(device.written, (std::vector<std::string>{"r80000000\n", "r80000404\n", "w810003f4 85000012\n",
                                                        "r810003f4\n", "r810003f8\n"}));
    EXPECT_TRUE(uart.IndirectReady());
    EXPECT_TRUE(uart.Indirect().ChipOstral());
}

struct FamilyCase {
    const char* name;
    uint8_t target;
    Answers answers;
    bool ready;
    bool targetTX;
    bool ostral;
};

TEST_F(UartProtocolTest, PrepareIndirectChoosesTargetAndFamilyOnce) {
    const FamilyCase cases[] = {
        {"newer source chip",
         1,
         {{ReadAnswer("80000000", "01000041")}, {ReadAnswer("80000404", "38ccc001")}},
         true,
         true,
         false},
        {"sink chip reads its version elsewhere",
         0,
         {{ReadAnswer("80000000", "00000041")}, {ReadAnswer("80000294", "40000000")}},
         true,
         false,
         false},
        {"identification without family bits",
         0,
         {{ReadAnswer("80000000", "0100003f")}, {ReadAnswer("80000404", "ffffffff")}},
         true,
         false,
         true},
        {"silent chip", 1, {{}, {}}, false, true, false},
    };
    for (const auto& c : cases) {
        CUartLib port;
        device = ScriptedDevice{};
        port.Open("com3", 600);
        Script(c.answers);
        port.PrepareIndirect(c.target);
        EXPECT_EQ(port.IndirectReady(), c.ready) << c.name;
        EXPECT_EQ(port.Indirect().TargetTX(), c.targetTX) << c.name;
        EXPECT_EQ(port.Indirect().ChipOstral(), c.ostral) << c.name;
        const size_t sent = device.written.size();
        port.PrepareIndirect(c.target == 0 ? 1 : 0);
        if (c.ready) {
            EXPECT_EQ(device.written.size(), sent) << c.name << ": chose again";
        }
    }
}

TEST_F(UartProtocolTest, IndirectFailuresHaveTheirTexts) {
    // Family known, mailbox never idle.
    Script({{ReadAnswer("80000000", "01000041")}, {ReadAnswer("80000404", "00000001")}});
    uart.PrepareIndirect(1);
    device.answers.clear();
    for (int i = 0; i < 400; ++i) device.answers.push_back({ReadAnswer("810003f4", "85000011")});
    device.msPerRead = 3;
    device.answers.push_front({kReady});
    device.answers.push_front({kReady});
    EXPECT_EQ(Raised([&] { uart.WriteAddress(0x85000010, 5, 1); }), "Error writing indirect address");
    device.answers.clear();
    device.answers.push_back({kReady});
    for (int i = 0; i < 400; ++i) device.answers.push_back({ReadAnswer("810003f4", "85000012")});
    EXPECT_EQ(Raised([&] { uart.ReadAddress(0x85000010, 1); }), "Can't read indirectly");
}

TEST_F(UartProtocolTest, DirectClassesUseThePlainCommands) {
    Script({{ReadAnswer("84fffffc", "00000001")}, {ReadAnswer("90000000", "00000002")}, {kReady}});
    EXPECT_EQ(uart.ReadAddress(0x84fffffc, 1), 1u);
    EXPECT_EQ(uart.ReadAddress(0x90000000, 0), 2u);
    uart.WriteAddress(0x60000000, 3, 0);
    EXPECT_EQ(device.written,
              (std::vector<std::string>{"r84fffffc\n", "r90000000\n", "w60000000 00000003\n"}));
    EXPECT_FALSE(uart.IndirectReady());
}

}  // namespace
}  // namespace linktest
