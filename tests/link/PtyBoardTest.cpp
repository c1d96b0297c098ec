// The link through real tty devices: tolvar-board serving the pair on pseudo-terminals, other
// processes holding ports, ports that vanish, and the default port-name mapping.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "console/CxException.h"
#include "link/uart/CUartLib.h"
#include "link/uart/PortDiscovery.h"
#include "platform/Prefix.h"
#include "tests/support/BoardProcess.h"
#include "tests/support/Ports.h"
#include "tests/support/ToolProcess.h"
#include "tests/support/UartTest.h"

namespace linktest {
using namespace testsupport;
namespace {

constexpr uint32_t kIdRegister = 0x80000000;
constexpr uint32_t kPlainRegister = 0x80000200;

class PtyTest : public ::testing::Test {
  protected:
    std::unique_ptr<ScopedPrefix> prefix = std::make_unique<ScopedPrefix>();
    ConsoleCapture console;

    void FreshPrefix() {
        prefix.reset();
        prefix = std::make_unique<ScopedPrefix>();
    }
    std::string Dosdevice(int port) { return prefix->Path() + "/dosdevices/com" + std::to_string(port); }
    // The pty the board's link for the port leads to.
    std::string PtyOf(int port) {
        char target[256] = {};
        const ssize_t length = ::readlink(Dosdevice(port).c_str(), target, sizeof target - 1);
        return length > 0 ? std::string(target, size_t(length)) : "";
    }

    // Ports 1 to 10 that the board does not serve name nothing, whatever this machine has.
    void MarkOtherPortsMissing() {
        for (int port = 1; port <= 10; ++port) {
            if (::access(Dosdevice(port).c_str(), F_OK) != 0) {
                (void)!::symlink((prefix->Path() + "/no-such-device").c_str(), Dosdevice(port).c_str());
            }
        }
    }
    std::unique_ptr<BoardProcess> StartBoard(const std::string& source, const std::string& sink) {
        auto board = std::make_unique<BoardProcess>(
            std::vector<std::string>{"--prefix", prefix->Path(), "--source", source, "--sink", sink});
        EXPECT_TRUE(board->Ready()) << board->Output();
        MarkOtherPortsMissing();
        return board;
    }
};

TEST_F(PtyTest, RegistersRoundTripThroughTheTty) {
    auto board = StartBoard("uart=com1", "uart=com2");
    for (int port : {1, 2}) {
        CUartLib uart;
        uart.Open("com" + std::to_string(port), 600);
        uart.WriteRegister(kPlainRegister, 0x600d0000u + uint32_t(port));
        EXPECT_EQ(uart.ReadRegister(kPlainRegister), 0x600d0000u + uint32_t(port));
        EXPECT_EQ((uart.ReadRegister(kIdRegister) >> 24) & 1, port == 1 ? 1u : 0u);
    }
    EXPECT_TRUE(console.text.empty()) << console.text;
}

struct PtyDiscoveryCase {
    const char* name;
    const char* fileBefore;
    const char* source;
    const char* sink;
    int32_t side;
    uint32_t found;
    const char* fileAfter;
};

TEST_F(PtyTest, DiscoveryFindsTheBoardAndRemembersItsPort) {
    const PtyDiscoveryCase cases[] = {
        {"no file, source on com2", nullptr, "uart=com2", "uart=com5", 1, 2, "2 2"},
        {"sink where it was", "3 5", "uart=com5", "uart=com3", 0, 3, "3 5"},
        {"sink moved to com4", "3 5", "uart=com5", "uart=com4", 0, 4, "4 5"},
        {"no sink on any port", "3 5", "uart=com5", "uart=com20", 0, 0, "3 5"},
    };
    for (const auto& c : cases) {
        FreshPrefix();
        if (c.fileBefore) std::ofstream(platform::ComPortsCfgPath()) << c.fileBefore;
        auto board = StartBoard(c.source, c.sink);
        EXPECT_EQ(FindUartPort(c.side), c.found) << c.name;
        std::stringstream file;
        file << std::ifstream(platform::ComPortsCfgPath()).rdbuf();
        EXPECT_EQ(file.str(), c.fileAfter) << c.name;
        if (c.found != 0) {
            CUartLib uart;
            EXPECT_NO_THROW(uart.Open("com" + std::to_string(c.found), 600))
                << c.name << ": probe left it held";
            EXPECT_EQ((uart.ReadRegister(kIdRegister) >> 24) & 1, uint32_t(c.side)) << c.name;
        }
    }
}

TEST_F(PtyTest, SecondProcessCannotOpenAHeldPortAndTheHolderIsUnharmed) {
    auto board = StartBoard("uart=com1", "uart=com2");
    PortHolder holder("com1");
    ASSERT_TRUE(holder.Holding());
    {
        platform::VirtualClock clock;  // the 3 s wait for the holder's port lock passes at once
        platform::ScopedClock scoped(clock);
        CUartLib second;
        const auto error = Raised([&] { second.Open("com1", 600); });
        // Root passes the exclusive-open flag and meets the lock; everyone else meets the flag.
        // Either way the holder is named, as the lock tells it.
        const std::string text = error.value_or("opened");
        const std::string holder = "The port com1 (" + Dosdevice(1) + ") is in use by process ";
        EXPECT_TRUE(
            text.rfind("Failed to open com port com1, reason: Resource temporarily unavailable\n" + holder,
                       0) == 0 ||
            text.rfind("Failed to open com port com1, reason: Device or resource busy\n" + holder, 0) == 0)
            << text;
        EXPECT_EQ(text.substr(text.size() - 14), " (link_tests).") << text;
        EXPECT_FALSE(second.PortInitialized());
    }
    EXPECT_EQ(holder.ReadAndExit(), 1);
}

TEST_F(PtyTest, HolderKilledLeavesThePortFree) {
    auto board = StartBoard("uart=com1", "uart=com2");
    PortHolder holder("com1");
    ASSERT_TRUE(holder.Holding());
    holder.Kill();
    CUartLib uart;
    uart.Open("com1", 600);
    EXPECT_EQ((uart.ReadRegister(kIdRegister) >> 24) & 1, 1u);
}

TEST_F(PtyTest, BoardVanishingMidRunRaisesTheOpenTextPromptly) {
    auto board = StartBoard("uart=com1", "uart=com2");
    CUartLib uart;
    uart.Open("com1", 600);
    EXPECT_EQ((uart.ReadRegister(kIdRegister) >> 24) & 1, 1u);
    board->Stop(SIGKILL);
    platform::Clock& clock = platform::CurrentClock();
    const uint32_t start = clock.TickMs();
    EXPECT_EQ(
        Raised([&] { uart.ReadRegister(kIdRegister); }),
        "Failed to open com port com1, reason: No such file or directory\nDevice tried: " + Dosdevice(1));
    // Within the bound of one receive (1000 ms cap plus a read time-out), not a hang.
    EXPECT_LT(clock.TickMs() - start, 1600u);
    EXPECT_FALSE(uart.PortInitialized());
    EXPECT_EQ(Raised([&] { uart.WriteRegister(kPlainRegister, 1); }), std::nullopt);
}

TEST_F(PtyTest, ToolFindsOrOpensTheBoardAndIdentifiesIt) {
    auto board = StartBoard("uart=com1", "uart=com2");
    TempDir files;
    const std::string emptyImage = files.Path() + "/empty.hex";
    std::ofstream(emptyImage) << ":00000001FF\n";
    const struct {
        std::vector<std::string> arguments;
        std::string expected;
        int code;
    } cases[] = {
        {{"uasnk", "V", emptyImage}, "Detected Marnel sink on port 2\n", 0},
        {{"snk", "u2", "V", emptyImage}, "Detected Marnel sink on port 2\n", 0},
        {{"src", "u7", "V", emptyImage},
         "Exception: Failed to open com port com7, reason: No such file or directory\n",
         255},
        // The device itself, by the path the board made and by the pty it leads to.
        {{"snk", "u" + Dosdevice(2), "V", emptyImage},
         "Detected Marnel sink on port " + Dosdevice(2) + "\n",
         0},
        {{"src", "u" + PtyOf(1), "V", emptyImage}, "Detected Marnel source on port " + PtyOf(1) + "\n", 0},
        {{"src", "u/dev/no-such-tty", "V", emptyImage},
         "Exception: Failed to open com port /dev/no-such-tty, reason: No such file or directory\n",
         255},
        // Nothing listens on port 1 of the loopback host.
        {{"src", "usocket://127.0.0.1:1", "V", emptyImage},
         "Exception: Failed to open com port socket://127.0.0.1:1, reason: Connection refused\nPort server "
         "tried: 127.0.0.1 port 1\n",
         255},
        {{"src", "urfc2217://127.0.0.1:1", "V", emptyImage},
         "Exception: Failed to open com port rfc2217://127.0.0.1:1, reason: Connection refused\nPort server "
         "tried: 127.0.0.1 port 1\n",
         255},
        {{"src", "urfc2217://127.0.0.1", "V", emptyImage},
         "Error: 'rfc2217://127.0.0.1' in 'urfc2217://127.0.0.1' is not a port: a network port is "
         "socket://HOST:PORT or rfc2217://HOST:PORT (PORT 1 to 65535).\n",
         255},
    };
    for (const auto& c : cases) {
        std::string output;
        EXPECT_EQ(RunProgram(TOLVAR_PROGRAM, c.arguments, output), c.code) << output;
        EXPECT_NE(output.find(c.expected), std::string::npos) << output;
    }
}

TEST_F(PtyTest, PortNamesThatLeadToNoTerminalFailWithTheirText) {
    TempDir place;
    std::ofstream(place.Path() + "/plain") << "not a tty";
    ::mkdir((prefix->Path() + "/dosdevices").c_str(), 0700);
    ASSERT_EQ(::symlink(place.Path().c_str(), Dosdevice(3).c_str()), 0);
    ASSERT_EQ(::symlink((place.Path() + "/plain").c_str(), Dosdevice(4).c_str()), 0);
    ASSERT_EQ(::symlink((place.Path() + "/gone").c_str(), Dosdevice(5).c_str()), 0);
    // The device tried follows, where the name leads to one.
    const struct {
        const char* name;
        std::string error;
    } cases[] = {
        {"com3", "Failed to open com port com3, reason: Is a directory\nDevice tried: " + Dosdevice(3)},
        {"com4",
         "Failed to Set Comm Mask Reason: Inappropriate ioctl for device\nDevice tried: " + Dosdevice(4)},
        {"com5",
         "Failed to open com port com5, reason: No such file or directory\nDevice tried: " + Dosdevice(5)},
        {"comx", "Failed to open com port comx, reason: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        CUartLib uart;
        EXPECT_EQ(Raised([&] { uart.Open(c.name, 100); }), c.error) << c.name;
        EXPECT_FALSE(uart.PortInitialized());
    }
}

}  // namespace
}  // namespace linktest
