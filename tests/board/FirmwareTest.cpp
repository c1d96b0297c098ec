// The debug-port firmware through the in-process port, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "board/BoardPair.h"
#include "platform/Clock.h"

namespace board {
namespace {

class Firmware : public ::testing::Test {
  protected:
    platform::VirtualClock clock;
    platform::ScopedClock scoped{clock};
    BoardPair pair;
    std::unique_ptr<platform::ByteDevice> port = pair.OpenDebugPort(1);

    void Send(const std::string& text) {
        ASSERT_TRUE(port->Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }
    std::string Answer(size_t max = 512) {
        std::string out;
        uint8_t buffer[512];
        long n;
        while ((n = port->Read(buffer, std::min(max, sizeof buffer), 10)) > 0)
            out.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
        return out;
    }
    std::string Exchange(const std::string& text) {
        Send(text);
        return Answer();
    }
};

TEST_F(Firmware, ReadAndWriteAnswerByteForByte) {
    EXPECT_EQ(Exchange("r80000000\n"), "80000000=01010001\r\nReady\r\n");
    EXPECT_EQ(Exchange("w60000010 abcdef01\n"), "\r\nReady\r\n");
    EXPECT_EQ(Exchange("r60000010\n"), "60000010=ABCDEF01\r\nReady\r\n");
    EXPECT_EQ(Exchange("r80000000\n").size(), 26u);
    EXPECT_EQ(pair.Source().ReadRegister(0x60000010), 0xABCDEF01u);
}

TEST_F(Firmware, CommandsSplitAcrossWritesAnswerOnce) {
    std::string command = "w60000020 00000042\nr60000020\n";
    for (char c : command) Send(std::string(1, c));
    EXPECT_EQ(Answer(), "\r\nReady\r\n60000020=00000042\r\nReady\r\n");
}

TEST_F(Firmware, MalformedInputIsSkippedToTheLineFeed) {
    const char* inputs[] = {"r8000\n",     "x\n",          "R80000000\n", "w60000010,00000001\n",
                            "r8000000g\n", "hello world\n"};
    for (const char* input : inputs) {
        pair.ClearAudit();
        EXPECT_EQ(Exchange(std::string(input) + "r80000000\n"), "80000000=01010001\r\nReady\r\n") << input;
        EXPECT_EQ(pair.AuditEntries().size(), 1u) << input;
    }
    EXPECT_EQ(pair.Source().ReadRegister(0x60000010), 0u);
}

TEST_F(Firmware, MalformedBlocksAreSkippedUnanswered) {
    using namespace std::string_literals;
    const std::string blocks[] = {
        "B\x03"
        "abc\r\n"s,                                 // length not a multiple of 4
        "T\x84"s + std::string(132, 'x') + "\r\n",  // longer than 128
        "B\x00\r\n"s,                               // empty
        "B\x04"
        "abcdXY\n"s,  // no CR LF after the data
    };
    for (const std::string& block : blocks) {
        pair.ClearAudit();
        EXPECT_EQ(Exchange(block + "r80000000\n"), "80000000=01010001\r\nReady\r\n") << block.size();
        EXPECT_EQ(pair.AuditEntries().size(), 1u) << block.size();
    }
    EXPECT_EQ(pair.Source().MemoryBytes()[0], 0xFF);
}

TEST_F(Firmware, IndirectAddressesAnswerAnErrorText) {
    for (const char* command : {"r85000010\n", "w3f000000 00000001\n", "r5ffffffc\n"}) {
        std::string answer = Exchange(command);
        EXPECT_NE(answer.find("Error"), std::string::npos) << command;
        EXPECT_EQ(answer.find('='), std::string::npos) << command;
        EXPECT_NE(answer.size(), 9u) << command;
    }
    EXPECT_EQ(Exchange("r84fffffc\n"), "84fffffc=00000000\r\nReady\r\n");
    EXPECT_EQ(Exchange("r90000000\n"), "90000000=00000000\r\nReady\r\n");
}

TEST_F(Firmware, SilentPortWaitsOnTheClock) {
    uint8_t buffer[50];
    uint64_t before = clock.NowUs();
    EXPECT_EQ(port->Read(buffer, sizeof buffer, 600), 0);
    EXPECT_GE(clock.NowUs() - before, 600'000u);
    EXPECT_LT(clock.NowUs() - before, 601'000u);
}

TEST_F(Firmware, ReadsTakeAtMostTheAskedCount) {
    Send("r80000000\n");
    uint8_t buffer[50];
    EXPECT_EQ(port->Read(buffer, 20, 100), 20);
    EXPECT_EQ(port->Read(buffer, 50, 100), 6);
    port->Flush();
    Send("r80000000\n");
    port->Flush();
    EXPECT_EQ(port->Read(buffer, 50, 100), 0) << "flush drops the queued answer";
}

TEST_F(Firmware, PacedPortTakesTenBitTimesPerByte) {
    for (uint32_t baud : {115200u, 9600u}) {
        auto paced = pair.OpenDebugPort(1, DebugPortOptions{baud});
        std::string command = "r80000000\n";
        uint64_t start = clock.NowUs();
        paced->Write(reinterpret_cast<const uint8_t*>(command.data()), command.size());
        std::string answer;
        uint8_t buffer[50];
        std::vector<long> chunks;
        while (answer.size() < 26) {
            long n = paced->Read(buffer, sizeof buffer, 100);
            ASSERT_GT(n, 0);
            chunks.push_back(n);
            answer.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
        }
        double expectedUs = 36 * 10 * 1e6 / baud;  // 10 bytes out, 26 back
        double took = static_cast<double>(clock.NowUs() - start);
        EXPECT_NEAR(took, expectedUs, expectedUs * 0.05) << baud;
        EXPECT_GT(chunks.size(), 1u) << "the answer trickles in";
    }
}

}  // namespace
}  // namespace board
