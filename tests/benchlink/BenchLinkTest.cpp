// The bench-server link against the simulated bench server and against servers that misbehave.
#include <gtest/gtest.h>

#include "board/BoardPair.h"
#include "console/CxException.h"
#include "link/BenchLink.h"
#include "link/TargetSession.h"
#include "platform/Clock.h"
#include "tests/support/BenchServers.h"
#include "tests/support/TempDir.h"

namespace {

using namespace testsupport;

using board::BenchFault;
using board::BenchFaultKind;

// Only for servers that stay silent; a healthy exchange gets the full time even on a loaded machine.
constexpr uint32_t kShortTimeoutMs = 150;
const std::vector<std::pair<std::string, std::string>> kBenchUart7 = {{"SelectedInterface", "0"},
                                                                      {"comPort2", "7"}};

class BenchLinkTest : public ::testing::Test {
  protected:
    void SetUp() override { ForgetLink(); }
    void TearDown() override { ForgetLink(); }

    static void ForgetLink() {
        Session().link.benchServer = nullptr;
        Session().link.benchProduct = nullptr;
    }

    // Connect, select, read the source's id and write a sink register: "ok", or the raised text.
    static std::string RunSession(uint32_t timeoutMs = kBenchExchangeTimeoutMs) {
        try {
            BenchLink link("localhost", timeoutMs);
            SelectBenchTarget();
            if (BenchRead(1, 0x80000000) != 0x01010023) return "wrong id";
            BenchWrite(0, 0x80000044, 0x201);
            return "ok";
        } catch (const CxExceptionError& error) {
            return error.message;
        }
    }

    TempPrefix m_prefix;
};

TEST_F(BenchLinkTest, CarriesReadsAndWritesOfBothChips) {
    m_prefix.WriteTalmer(kBenchUart7);
    ServerThread server;
    BenchLink link("localhost");
    EXPECT_TRUE(Session().link.benchServer);
    EXPECT_TRUE(Session().link.benchProduct);
    SelectBenchTarget();
    EXPECT_EQ(BenchRead(1, 0x80000000), 0x01010023u);
    EXPECT_EQ(BenchRead(0, 0x80000000), 0x00010023u);
    BenchWrite(0, 0x80000048, 0xcafe0001);
    BenchWrite(1, 0x80000048, 0xcafe0002);
    EXPECT_EQ(BenchRead(0, 0x80000048), 0xcafe0001u);
    ForgetLink();
    const board::BenchLog& log = server.Stop();
    EXPECT_EQ(server.sink.m_registers[0x80000048], 0xcafe0001u);
    EXPECT_EQ(server.source.m_registers[0x80000048], 0xcafe0002u);
    EXPECT_EQ(log.commands, std::vector<std::string>{"a 2 7"});
    EXPECT_EQ(log.requests.at("TARGET"), 1u);
}

TEST_F(BenchLinkTest, RegistryPicksTheConnection) {
    struct Row {
        std::vector<std::pair<std::string, std::string>> values;
        std::vector<std::string> commands;
    };
    const Row rows[] = {
        {{{"SelectedInterface", "0"}, {"comPort2", "7"}}, {"a 2 7"}},
        {{{"selectedinterface", "0 (UART)"}, {"COMPORT2", "12abc"}}, {"a 2 12"}},
        {{{"SelectedInterface", "0"}, {"comPort2", "none"}}, {"a 2 0"}},
        {{{"SelectedInterface", "0"}, {"comPort2", "99999999999"}}, {"a 2 2147483647"}},
        {{{"SelectedInterface", "1"}}, {"e"}},
        {{{"SelectedInterface", "2"}, {"comPort2", "7"}}, {"v"}},
    };
    for (const Row& row : rows) {
        ForgetLink();
        m_prefix.WriteTalmer(row.values);
        ServerThread server;
        EXPECT_EQ(RunSession(), "ok") << row.commands[0];
        ForgetLink();
        EXPECT_EQ(server.Stop().commands, row.commands);
    }
}

TEST_F(BenchLinkTest, FailureTable) {
    const std::string tooLong(255, '0');
    struct Row {
        const char* name;
        std::vector<std::pair<std::string, std::string>> values;
        std::vector<BenchFault> faults;
        const char* text;
    };
    const Row rows[] = {
        {"create", kBenchUart7, {{BenchFaultKind::Create}}, "Could not create NorvikServer."},
        {"get interface",
         kBenchUart7,
         {{BenchFaultKind::GetInterface}},
         "Could not GetInterface() from NorvikServer to IOlwenProduct."},
        {"query", kBenchUart7, {{BenchFaultKind::Query}}, "Could not QueryInterface(IID_IOlwenProdGiga)."},
        {"no SelectedInterface",
         {{"comPort2", "7"}},
         {},
         "Could not read registry val 'SelectedInterface'. Set Norvik target from Talmer first"},
        {"SelectedInterface too long",
         {{"SelectedInterface", tooLong}, {"comPort2", "7"}},
         {},
         "Could not read registry val 'SelectedInterface'. Set Norvik target from Talmer first"},
        {"no comPort2",
         {{"SelectedInterface", "0"}},
         {},
         "Could not read registry val 'comPort2'. Set Norvik target from Talmer first"},
        {"type 3", {{"SelectedInterface", "3"}, {"comPort2", "7"}}, {}, "Target type not supported."},
        {"empty type", {{"SelectedInterface", ""}}, {}, "Target type not supported."},
        {"uart", kBenchUart7, {{BenchFaultKind::Uart}}, "Could not open UART com port 7."},
        {"ethernet",
         {{"SelectedInterface", "1"}},
         {{BenchFaultKind::Ethernet}},
         "Error connecting to Ethernet. Please check default device configuration.\n"},
        {"corvane",
         {{"SelectedInterface", "2"}},
         {{BenchFaultKind::Corvane}},
         "Could not connect to Corvane."},
        {"read",
         kBenchUart7,
         {{BenchFaultKind::Read}},
         "Error reading value. Please check board connectivity.\n"},
        {"write",
         kBenchUart7,
         {{BenchFaultKind::Write}},
         "Error writing value. Please check board connectivity.\n"},
    };
    for (const Row& row : rows) {
        ForgetLink();
        m_prefix.WriteTalmer(row.values);
        ServerThread server(row.faults);
        EXPECT_EQ(RunSession(), row.text) << row.name;
    }
}

TEST_F(BenchLinkTest, RegistryFileThatSaysNothing) {
    const char* files[] = {
        nullptr,
        "",
        "REGEDIT4\n",
        "\x01\x02garbage\n[[[\n\"SelectedInterface\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Talmer\\Startup]\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Talmer\\Other]\n"
        "\"SelectedInterface\"=\"0\"\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Talmer\\Startup]\n"
        "\"SelectedInterface\"=dword:00000000\n",
    };
    for (const char* file : files) {
        ForgetLink();
        if (file) m_prefix.WriteUserReg(file);
        ServerThread server;
        EXPECT_EQ(RunSession(),
                  "Could not read registry val 'SelectedInterface'. Set Norvik target from Talmer first")
            << (file ? file : "(no file)");
    }
}

TEST_F(BenchLinkTest, TypeNotSupportedComesAfterTheServerObjects) {
    m_prefix.WriteTalmer({{"SelectedInterface", "3"}});
    ServerThread server;
    EXPECT_EQ(RunSession(), "Target type not supported.");
    EXPECT_TRUE(Session().link.benchServer);
    EXPECT_TRUE(Session().link.benchProduct);
    ForgetLink();
    EXPECT_TRUE(server.Stop().commands.empty());
}

TEST_F(BenchLinkTest, GetInterfaceFailureEmptiesTheServer) {
    m_prefix.WriteTalmer(kBenchUart7);
    ServerThread server({{BenchFaultKind::GetInterface}});
    EXPECT_EQ(RunSession(), "Could not GetInterface() from NorvikServer to IOlwenProduct.");
    EXPECT_FALSE(Session().link.benchServer);
    EXPECT_FALSE(Session().link.benchProduct);
}

TEST_F(BenchLinkTest, FailedReadIsNotRetried) {
    m_prefix.WriteTalmer(kBenchUart7);
    ServerThread server({{BenchFaultKind::Read, 2}});
    BenchLink link("localhost");
    SelectBenchTarget();
    EXPECT_EQ(BenchRead(1, 0x80000000), 0x01010023u);
    EXPECT_THROW(BenchRead(1, 0x80000000), CxExceptionError);
    ForgetLink();
    EXPECT_EQ(server.Stop().requests.at("READ"), 2u);
}

TEST_F(BenchLinkTest, NoServerListening) {
    m_prefix.WriteTalmer(kBenchUart7);
    PointAtClosedPort();
    EXPECT_EQ(RunSession(), "Could not create NorvikServer.");
    EXPECT_FALSE(Session().link.benchServer);
}

TEST_F(BenchLinkTest, PortSettingThatIsNoPort) {
    m_prefix.WriteTalmer(kBenchUart7);
    setenv("TOLVAR_BENCH_PORT", "http", 1);
    EXPECT_EQ(RunSession(), "Could not create NorvikServer.");
}

// The server misbehaves at one line of the session: 0 handshake, 1 create, 2 get interface,
// 3 query, 4 target, 5 command, 6 read, 7 write.
TEST_F(BenchLinkTest, ServerThatMisbehavesNeverHangsTheLink) {
    enum class Misbehaviour { Silent, Close, Garbage, Overlong, Twice };
    struct Row {
        int line;
        Misbehaviour misbehaviour;
        const char* text;
    };
    const Row rows[] = {
        {0, Misbehaviour::Silent, "Could not create NorvikServer."},
        {0, Misbehaviour::Garbage, "Could not create NorvikServer."},
        {1, Misbehaviour::Close, "Could not create NorvikServer."},
        {2, Misbehaviour::Garbage, "Could not GetInterface() from NorvikServer to IOlwenProduct."},
        {3, Misbehaviour::Garbage, "Could not QueryInterface(IID_IOlwenProdGiga)."},
        {4, Misbehaviour::Close, "Could not open UART com port 7."},
        {5, Misbehaviour::Overlong, "Could not open UART com port 7."},
        {5, Misbehaviour::Twice, "Could not open UART com port 7."},
        {6, Misbehaviour::Close, "Error reading value. Please check board connectivity.\n"},
        {6, Misbehaviour::Silent, "Error reading value. Please check board connectivity.\n"},
        {7, Misbehaviour::Garbage, "Error writing value. Please check board connectivity.\n"},
        {7, Misbehaviour::Overlong, "Error writing value. Please check board connectivity.\n"},
    };
    m_prefix.WriteTalmer(kBenchUart7);
    for (const Row& row : rows) {
        ForgetLink();
        ScriptedServer server([&row](int index, const std::string& line) -> std::optional<std::string> {
            if (index != row.line) return ScriptedServer::Honest(line);
            switch (row.misbehaviour) {
                case Misbehaviour::Silent:
                    return "";
                case Misbehaviour::Close:
                    return std::nullopt;
                case Misbehaviour::Garbage:
                    return "\r\nReady\r\n";
                case Misbehaviour::Overlong:
                    return std::string(2000, '0') + "\n";
                case Misbehaviour::Twice:
                    return ScriptedServer::Honest(line) + ScriptedServer::Honest(line);
            }
            return std::nullopt;
        });
        // Every wait is spent on the installed clock: at most the handshake's and one call's time.
        platform::VirtualClock clock;
        platform::ScopedClock scoped(clock);
        uint64_t startUs = clock.NowUs();
        EXPECT_EQ(RunSession(kShortTimeoutMs), row.text) << "line " << row.line;
        EXPECT_LE(clock.NowUs() - startUs, 2 * kShortTimeoutMs * 1000 + 1000) << "line " << row.line;
        ForgetLink();
    }
}

// Once an exchange failed, later calls fail at once instead of waiting out the time again.
TEST_F(BenchLinkTest, DeadLinkFailsAtOnce) {
    m_prefix.WriteTalmer(kBenchUart7);
    ScriptedServer server([](int index, const std::string& line) -> std::optional<std::string> {
        return index == 6 ? "garbage\n" : ScriptedServer::Honest(line);
    });
    BenchLink link("localhost");
    SelectBenchTarget();
    EXPECT_THROW(BenchRead(1, 0x80000000), CxExceptionError);
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    uint64_t startUs = clock.NowUs();
    EXPECT_THROW(BenchRead(1, 0x80000000), CxExceptionError);
    EXPECT_THROW(BenchWrite(1, 0x80000000, 0), CxExceptionError);
    EXPECT_EQ(clock.NowUs(), startUs) << "waited";
    EXPECT_EQ(server.Lines().size(), 7u);
}

TEST_F(BenchLinkTest, WithoutALinkReadsAndWritesFail) {
    EXPECT_THROW(BenchRead(1, 0x80000000), CxExceptionError);
    EXPECT_THROW(BenchWrite(1, 0x80000000, 0), CxExceptionError);
    EXPECT_LT(BenchCommand("e"), 0);
}

// The session's register operations over the bench reach the right chip of the simulated pair,
// at the address after the sink's offset.
TEST_F(BenchLinkTest, SessionReachesTheSimulatedPair) {
    m_prefix.WriteTalmer(kBenchUart7);
    board::BoardPair pair;
    board::PairChip sink(pair.Sink());
    board::PairChip source(pair.Source());
    ServerThread server(&sink, &source);
    Session().link.kind = BenchServer;
    OpenBenchLink();
    EXPECT_TRUE(TargetIsSide(1));
    EXPECT_TRUE(TargetIsSide(0));
    EXPECT_EQ(TargetReadOn(0x80000000, 1), pair.Source().Config().Id());
    Session().link.currentTarget = 0;
    Session().link.registerOffset = -12;
    TargetWrite(0x80000100, 0x5a5a0001);
    EXPECT_EQ(TargetRead(0x80000100), 0x5a5a0001u);
    ResetTargetSession();
    server.Stop();
    EXPECT_EQ(pair.Sink().ReadRegister(0x800000F4), 0x5a5a0001u);
    EXPECT_EQ(pair.Source().ReadRegister(0x800000F4), 0u);
}

}  // namespace
