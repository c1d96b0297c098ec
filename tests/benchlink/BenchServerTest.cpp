// The simulated bench server's side of the protocol, one conversation at a time, no sockets.
#include <gtest/gtest.h>

#include "tests/support/BenchServers.h"
#include "tests/support/TempDir.h"

namespace {

using namespace testsupport;

using board::BenchConversation;
using board::BenchFault;
using board::BenchFaultKind;

const std::string kCreate =
    "CREATE {4E2B7C61-93D8-4A5F-B1E0-7C3D2A9F6E18} {4E2B7C62-93D8-4A5F-B1E0-7C3D2A9F6E18}";
const std::string kGetInterface =
    "GETINTERFACE 26:OlwenProduct.OlwenProdGiga 38:{4E2B7C63-93D8-4A5F-B1E0-7C3D2A9F6E18}";
const std::string kQuery = "QUERY 38:{4E2B7C63-93D8-4A5F-B1E0-7C3D2A9F6E18}";
const std::string kTarget = "TARGET 21:OlwenTarget.TargetOrb";
const std::string kOk = "00000000 00000000";

struct Exchange {
    std::string line;
    std::string answer;  // "(silent)" or "(hangup)" for no answer
};

class Conversation {
  public:
    explicit Conversation(std::vector<BenchFault> faults = {})
        : m_faults(std::move(faults)), m_conversation(&m_sink, &m_source, m_faults, m_calls, m_log) {}

    std::string Say(const std::string& line) {
        std::string answer;
        switch (m_conversation.Handle(line, answer)) {
            case BenchConversation::Outcome::Silent:
                return "(silent)";
            case BenchConversation::Outcome::Hangup:
                return "(hangup)";
            default:
                return answer;
        }
    }
    void Expect(const std::vector<Exchange>& exchanges) {
        for (const Exchange& exchange : exchanges)
            EXPECT_EQ(Say(exchange.line), exchange.answer) << exchange.line;
    }
    // Handshake through a successful "a 2 7".
    void Connect() {
        Expect({{"NORVIK-BENCH 1", "NORVIK-BENCH 1"},
                {kCreate, kOk},
                {kGetInterface, "00000000 00000001"},
                {kQuery, kOk},
                {kTarget, kOk},
                {"COMMAND 5:a 2 7", kOk}});
    }

    StorageChip m_sink{0x00010023};
    StorageChip m_source{0x01010023};
    board::BenchLog m_log;

  private:
    std::vector<BenchFault> m_faults;
    std::map<BenchFaultKind, uint32_t> m_calls;
    BenchConversation m_conversation;
};

TEST(BenchServerConversation, ServesBothChipsOnceConnected) {
    Conversation c;
    c.Connect();
    c.Expect({
        {"READ 1 80000000", "00000000 01010023"},
        {"READ 0 80000000", "00000000 00010023"},
        {"WRITE 0 80000044 00000201", kOk},
        {"READ 0 80000044", "00000000 00000201"},
        {"READ 1 80000044", kOk},
        {"write 0 80000044 00000201", "80070057 00000000"},
    });
    EXPECT_EQ(c.m_sink.m_registers[0x80000044], 0x201u);
    EXPECT_EQ(c.m_log.commands, std::vector<std::string>{"a 2 7"});
}

TEST(BenchServerConversation, RefusesStepsOutOfOrder) {
    Conversation c;
    c.Expect({
        {"NORVIK-BENCH 1", "NORVIK-BENCH 1"},
        {kGetInterface, "8000FFFF 00000000"},
        {kQuery, "8000FFFF 00000000"},
        {kCreate, kOk},
        {kQuery, "8000FFFF 00000000"},
        {kTarget, "8000FFFF 00000000"},
        {kGetInterface, "00000000 00000001"},
        {"COMMAND 1:e", "8000FFFF 00000000"},
        {kQuery, kOk},
        {"READ 1 80000000", "8000FFFF 00000000"},
        {"COMMAND 1:x", "80004005 00000000"},
        {"WRITE 1 80000000 00000000", "8000FFFF 00000000"},
        {"COMMAND 1:v", kOk},
        {"READ 1 80000000", "00000000 01010023"},
    });
}

TEST(BenchServerConversation, MalformedRequestsGetInvalidArgument) {
    Conversation c;
    c.Connect();
    const char* malformed[] = {
        "READ 2 80000000",
        "READ 1 8000000",
        "READ 1 800000000",
        "READ 1 8000000g",
        "READ 1 80000000 ",
        "READ 1  80000000",
        "READ",
        "READ 01 80000000",
        "WRITE 0 80000044",
        "WRITE 0 80000044 1",
        "COMMAND 6:a 2 7",
        "COMMAND 4:a 2 7",
        "COMMAND a 2 7",
        "COMMAND 5:a 2 7 x",
        "COMMAND",
        "COMMAND 99999999:x",
        "GETINTERFACE -",
        "QUERY -",
        "FROB 1",
        "",
    };
    for (const char* line : malformed) EXPECT_EQ(c.Say(line), "80070057 00000000") << line;
    EXPECT_EQ(c.Say("READ 1 80000000"), "00000000 01010023") << "still in step";
}

TEST(BenchServerConversation, AcceptsOnlyTheThreeConnectionCommands) {
    struct Row {
        const char* line;
        bool accepted;
    };
    const Row rows[] = {
        {"COMMAND 5:a 2 7", true},  {"COMMAND 7:a 2 123", true}, {"COMMAND 1:e", true},
        {"COMMAND 1:v", true},      {"COMMAND 4:a 2 ", false},   {"COMMAND 5:a 1 7", false},
        {"COMMAND 5:a 2 x", false}, {"COMMAND 2:e ", false},     {"COMMAND -", false},
        {"COMMAND 0:", false},      {"COMMAND 1:E", false},
    };
    for (const Row& row : rows) {
        Conversation c;
        c.Expect({{"NORVIK-BENCH 1", "NORVIK-BENCH 1"},
                  {kCreate, kOk},
                  {kGetInterface, "00000000 00000001"},
                  {kQuery, kOk}});
        EXPECT_EQ(c.Say(row.line), row.accepted ? kOk : "80004005 00000000") << row.line;
    }
}

TEST(BenchServerConversation, WrongHandshakeOrIdentifiersAreRefused) {
    Conversation wrongVersion;
    EXPECT_EQ(wrongVersion.Say("NORVIK-BENCH 2"), "(hangup)");
    Conversation c;
    c.Expect({
        {"NORVIK-BENCH 1", "NORVIK-BENCH 1"},
        {"CREATE {4E2B7C61-93D8-4A5F-B1E0-7C3D2A9F6E18} {00000000-0000-0000-0000-000000000000}",
         "80040154 00000000"},
        {kCreate, kOk},
        {"GETINTERFACE 5:Other 38:{4E2B7C63-93D8-4A5F-B1E0-7C3D2A9F6E18}", "80040154 00000000"},
        {kGetInterface, "00000000 00000001"},
        {"QUERY 38:{4E2B7C62-93D8-4A5F-B1E0-7C3D2A9F6E18}", "80004002 00000000"},
    });
}

TEST(BenchServerConversation, EachFaultFailsItsCallFromTheNthOn) {
    struct Row {
        const char* fault;
        std::string line;
        std::string failure;
    };
    const Row rows[] = {
        {"uart@3", "COMMAND 5:a 2 7", "80004005 00000000"},
        {"ethernet@2", "COMMAND 1:e", "80004005 00000000"},
        {"corvane@2", "COMMAND 1:v", "80004005 00000000"},
        {"read@2", "READ 1 80000000", "80004005 00000000"},
        {"write@2", "WRITE 1 80000000 01010023", "80004005 00000000"},
        {"query@3", kQuery, "80004002 00000000"},
        {"getinterface@3", kGetInterface, "80004005 00000000"},
        {"create@3", kCreate, "80040154 00000000"},
        {"silent@8", "READ 1 80000000", "(silent)"},
        {"hangup@8", "READ 1 80000000", "(hangup)"},
        {"garbage@8", "READ 1 80000000", "Ready> ?"},
    };
    for (const Row& row : rows) {
        std::optional<BenchFault> fault = board::ParseBenchFault(row.fault);
        ASSERT_TRUE(fault) << row.fault;
        Conversation c({*fault});
        c.Connect();
        std::string first = c.Say(row.line);
        EXPECT_NE(first, row.failure) << row.fault << ": the first call goes through";
        EXPECT_EQ(c.Say(row.line), row.failure) << row.fault;
        EXPECT_EQ(c.Say(row.line), row.failure) << row.fault << ": and every later one fails";
    }
}

TEST(BenchServerConversation, FaultSpellings) {
    EXPECT_EQ(board::ParseBenchFault("read")->fromCall, 1u);
    EXPECT_EQ(board::ParseBenchFault("write@17")->fromCall, 17u);
    EXPECT_EQ(board::ParseBenchFault("corvane")->kind, BenchFaultKind::Corvane);
    for (const char* bad : {"", "reads", "read@", "read@0", "read@x", "read@1234567890", "@3", "READ"}) {
        EXPECT_FALSE(board::ParseBenchFault(bad)) << bad;
    }
}

TEST(BenchServerOptions, CommandLineWords) {
    struct Row {
        std::vector<std::string> words;
        bool enabled;
        uint16_t port;
        size_t faults;
        bool error;
    };
    const Row rows[] = {
        {{"--bench"}, true, 0, 0, false},
        {{"--bench", "47020"}, true, 47020, 0, false},
        {{"--bench", "--sink", "x"}, true, 0, 0, false},
        {{"--bench", "0"}, true, 0, 0, true},
        {{"--bench", "70000"}, true, 0, 0, true},
        {{"--bench", "12ab"}, true, 0, 0, true},
        {{"--bench-fault", "read@3", "--bench-fault", "write"}, false, 0, 2, false},
        {{"--bench=47021", "--bench-fault=corvane"}, true, 47021, 1, false},
        {{"--bench="}, true, 0, 0, true},
        {{"--bench-fault"}, false, 0, 0, true},
        {{"--bench-fault", "flood"}, false, 0, 0, true},
    };
    for (const Row& row : rows) {
        std::vector<const char*> argv;
        for (const std::string& word : row.words) argv.push_back(word.c_str());
        board::BenchOptions options;
        std::string error;
        for (int i = 0; i < static_cast<int>(argv.size()); ++i) {
            if (!board::TakeBenchOption(static_cast<int>(argv.size()), argv.data(), i, options, error)) break;
        }
        EXPECT_EQ(options.enabled, row.enabled) << row.words[0];
        EXPECT_EQ(options.port, row.port) << row.words.size();
        EXPECT_EQ(options.faults.size(), row.faults) << row.words.size();
        EXPECT_EQ(!error.empty(), row.error) << row.words.size();
    }
}

}  // namespace
