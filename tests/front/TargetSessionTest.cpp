#include <gtest/gtest.h>

#include "console/ConsoleUi.h"
#include "console/CxException.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"
#include "tests/support/BenchServers.h"
#include "tests/support/Console.h"
#include "tests/support/Ports.h"
#include "tests/support/ToolInProcess.h"

namespace {

using namespace testsupport;

class TargetSessionTest : public FreshSession {
  protected:
    TargetSessionTest() {
        ConsoleUi::Operations capture = StandardConsoleOperations(stdin, stdout);
        capture.print = [this](const std::string& text) { m_printed += text; };
        ConsoleUi::instance().Install(capture);
    }
    ~TargetSessionTest() override { ConsoleUi::instance().Install(StandardConsoleOperations(stdin, stdout)); }

    // Sink chip selected as identification leaves it.
    void SelectSink() {
        Session().link.currentTarget = 0;
        Session().link.registerOffset = -12;
    }
    void FillBlock(uint8_t count) {
        for (uint8_t i = 0; i < count; ++i) Session().fast.buffer[i] = static_cast<uint8_t>(0xa0 + i);
    }

    std::string m_printed;
};

TEST_F(TargetSessionTest, StartValues) {
    Session().link.kind = Uart;
    Session().options.debugMode = 1;
    Session().controller.ctrlRegister = 0;
    Session().options.progress = Session().options.eraseBeforeBurn = Session().verdict.verifyPassed = false;
    ResetTargetSession();
    const TargetSession& session = Session();
    EXPECT_EQ(session.link.kind, LinkNone);
    EXPECT_EQ(session.options.debugMode, 0);
    EXPECT_EQ(session.link.currentTarget, 0u);
    EXPECT_EQ(session.link.registerOffset, 0);
    EXPECT_FALSE(session.link.uart);
    EXPECT_EQ(session.controller.ctrlRegister, 0x80000050u);
    EXPECT_EQ(session.controller.statusRegister, 0x80000054u);
    EXPECT_EQ(session.controller.txRegister, 0x80000058u);
    EXPECT_EQ(session.controller.rxRegister, 0x8000005cu);
    EXPECT_EQ(session.controller.widthShift, 4u);
    EXPECT_EQ(session.controller.selectValue, 0x201u);
    EXPECT_EQ(session.controller.releaseValue, 0x301u);
    EXPECT_EQ(session.link.accessMutex.Name(), "Eprom");
    EXPECT_TRUE(Session().options.progress && Session().options.eraseBeforeBurn &&
                Session().verdict.verifyPassed);
}

TEST_F(TargetSessionTest, EthernetReadsZeroAndDropsWrites) {
    Session().link.kind = Ethernet;
    SelectSink();
    for (uint32_t address : {0x0u, 0x80000000u, 0x8000005cu, 0xffffffffu}) {
        EXPECT_EQ(TargetRead(address), 0u);
        EXPECT_EQ(TargetReadOn(address, 1), 0u);
        TargetWrite(address, 0x12345678);
    }
    TargetWriteConfigRegister(7);
    EXPECT_TRUE(TargetIsSide(0));
    EXPECT_FALSE(TargetIsSide(1));
    EXPECT_FALSE(TargetIsSide(0xff));
    EXPECT_EQ(m_printed, "");
}

TEST_F(TargetSessionTest, DebugLogShowsTheAddressAfterTheSinkOffset) {
    Session().link.kind = Ethernet;
    Session().options.debugMode = 1;
    SelectSink();
    TargetRead(0x80000054);
    TargetWrite(0x80000050, 0x201);
    TargetReadOn(0x80000054, 0xff);
    TargetWriteConfigRegister(0xabc);
    TargetIsSide(1);
    Session().link.registerOffset = 0;
    TargetRead(0x80000054);
    TargetRead(4);
    SelectSink();
    TargetRead(4);
    EXPECT_EQ(m_printed,
              "read 80000048\n"
              "w 80000044 201\n"
              "w 8000018c abc\n"
              "read 80000054\n"
              "read 4\n"
              "read fffffff8\n");
}

TEST_F(TargetSessionTest, QuickBlockOperationsOutsideTheUartLink) {
    struct Case {
        int32_t linkKind;
        bool debug;
        std::string printed;
    };
    const Case cases[] = {
        {Ethernet, false, "2. Ethernet Not supported!2. Ethernet Not supported!"},
        {BenchServer, false,
         "Quick burn through UART over Norvik is not supported yet!"
         "Quick Verify through UART over Norvik is not supported yet!"},
        {LinkNone, false,
         "Quick burn through UART over Norvik is not supported yet!"
         "Quick Verify through UART over Norvik is not supported yet!"},
        {7, true,
         "BB 3 a0 a1 a2 \nQuick burn through UART over Norvik is not supported yet!"
         "Verify len 3, bytes: a0 a1 a2 \nQuick Verify through UART over Norvik is not supported yet!"},
        {Ethernet, true,
         "BB 0 \n2. Ethernet Not supported!Verify len 0, bytes: \n2. Ethernet Not supported!"},
    };
    for (const Case& c : cases) {
        ResetTargetSession();
        m_printed.clear();
        Session().link.kind = c.linkKind;
        Session().options.debugMode = c.debug ? 1 : 0;
        uint8_t length = c.printed.find("BB 0") == std::string::npos ? 3 : 0;
        FillBlock(3);
        TargetQuickBurn(length);
        EXPECT_FALSE(TargetQuickVerify(length));
        EXPECT_EQ(m_printed, c.printed) << c.linkKind;
    }
}

TEST_F(TargetSessionTest, FullBlockIsLoggedWhole) {
    Session().link.kind = Ethernet;
    Session().options.debugMode = 1;
    FillBlock(kBlockBufferSize);
    TargetQuickBurn(kBlockBufferSize);
    std::string expected = "BB 128 ";
    for (size_t i = 0; i < kBlockBufferSize; ++i) expected += formatText("%02x ", Session().fast.buffer[i]);
    EXPECT_EQ(m_printed, expected + "\n2. Ethernet Not supported!");
}

TEST_F(TargetSessionTest, FailedUartOpenLeavesTheObjectInTheSession) {
    DeadPorts({3});
    for (int i = 0; i < 2; ++i) {
        Session().link.kind = Uart;
        EXPECT_THROW(OpenUartLink(3), CxExceptionError);
        EXPECT_TRUE(Session().link.uart);
    }
}

// A device that counts how many of its kind are open.
class CountedDevice final : public PassThroughPort {
  public:
    CountedDevice(std::unique_ptr<platform::ByteDevice> inner, int& open)
        : PassThroughPort(std::move(inner)), m_open(open) {
        ++m_open;
    }
    ~CountedDevice() override { --m_open; }

  private:
    int& m_open;
};

TEST_F(TargetSessionTest, ReopeningTheUartLinkClosesTheFirstPortFirst) {
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock(clock);
    board::BoardPair pair;
    int open = 0;
    std::vector<int> openAtOpen;
    ScopedPortOpener opener([&](const std::string&) {
        openAtOpen.push_back(open);
        platform::DeviceOpenResult result;
        result.device = std::make_unique<CountedDevice>(pair.OpenDebugPort(1), open);
        return result;
    });
    Session().link.kind = Uart;
    OpenUartLink(3);
    EXPECT_EQ(TargetReadOn(0x80000000, 0xff) >> 24 & 1, 1u);
    OpenUartLink(3);
    EXPECT_EQ(TargetReadOn(0x80000000, 0xff) >> 24 & 1, 1u);
    EXPECT_EQ(openAtOpen, (std::vector<int>{0, 0}));
    EXPECT_EQ(open, 1);
    ResetTargetSession();
    EXPECT_EQ(open, 0);
}

TEST_F(TargetSessionTest, FailedBenchLinkStoresNothing) {
    setenv("TOLVAR_BENCH_PORT", "1", 1);
    Session().link.kind = BenchServer;
    EXPECT_THROW(OpenBenchLink(), CxExceptionError);
    EXPECT_FALSE(Session().link.bench);
    unsetenv("TOLVAR_BENCH_PORT");
}

}  // namespace
