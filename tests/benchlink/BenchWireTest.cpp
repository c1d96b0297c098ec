// The client's side of the wire format: string arguments, answer lines, the port setting.
#include <gtest/gtest.h>

#include <cstdlib>

#include "link/BenchLink.h"
#include "link/bench/BenchChannel.h"

namespace {

TEST(BenchWire, StringsCarryTheirLengthOrSayAbsent) {
    struct Row {
        std::optional<std::string> text;
        std::optional<std::string> wire;
    };
    const Row rows[] = {
        {std::nullopt, "-"},    {"", "0:"},         {"a 2 7", "5:a 2 7"},
        {"-", "1:-"},           {"12:x", "4:12:x"}, {"two\nlines", std::nullopt},
        {"cr\r", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(EncodeBenchString(row.text), row.wire) << row.text.value_or("(absent)");
    }
}

TEST(BenchWire, OnlyWellFormedAnswersParse) {
    struct Row {
        const char* line;
        bool parses;
        int32_t status;
        uint32_t value;
    };
    const Row rows[] = {
        {"00000000 01010023", true, 0, 0x01010023},
        {"80004005 00000000", true, BenchStatus::Failed, 0},
        {"8000ffff deadBEEF", true, BenchStatus::Unexpected, 0xdeadbeef},
        {"00000000 0101002", false, 0, 0},
        {"00000000  01010023", false, 0, 0},
        {"0000000001010023", false, 0, 0},
        {"00000000 010100230", false, 0, 0},
        {"0x000000 01010023", false, 0, 0},
        {"-0000001 00000000", false, 0, 0},
        {"00000000 0101002g", false, 0, 0},
        {"NORVIK-BENCH 1", false, 0, 0},
        {"\xff\xfe"
         "000000 00000000",
         false, 0, 0},
        {"", false, 0, 0},
    };
    for (const Row& row : rows) {
        int32_t status = 12345;
        uint32_t value = 12345;
        ASSERT_EQ(ParseBenchAnswer(row.line, status, value), row.parses) << row.line;
        if (!row.parses) continue;
        EXPECT_EQ(status, row.status) << row.line;
        EXPECT_EQ(value, row.value) << row.line;
    }
}

TEST(BenchWire, PortComesFromTheEnvironment) {
    struct Row {
        const char* setting;  // nullptr: unset
        std::optional<uint16_t> port;
    };
    const Row rows[] = {
        {nullptr, kBenchDefaultPort},
        {"47012", 47012},
        {"1", 1},
        {"65535", 65535},
        {"0", std::nullopt},
        {"65536", std::nullopt},
        {"", std::nullopt},
        {"47011x", std::nullopt},
        {"-5", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const Row& row : rows) {
        if (row.setting) {
            setenv("TOLVAR_BENCH_PORT", row.setting, 1);
        } else {
            unsetenv("TOLVAR_BENCH_PORT");
        }
        EXPECT_EQ(BenchPort(), row.port) << (row.setting ? row.setting : "(unset)");
    }
    unsetenv("TOLVAR_BENCH_PORT");
}

}  // namespace
