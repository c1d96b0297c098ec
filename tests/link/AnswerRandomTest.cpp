// Random firmware output never crashes the link or ends in an undefined error.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/support/AnswerHarness.h"
#include "tests/support/Ports.h"
#include "tests/support/UartTest.h"

namespace linktest {
using namespace testsupport;
namespace {

// Random chunks biased towards the protocol's own bytes, so that near-answers come up often.
std::vector<uint8_t> RandomInput(std::mt19937& random) {
    static const std::string alphabet = "0123456789abcdefABCDEF=\r\nReadyPass#U";
    std::vector<uint8_t> input{static_cast<uint8_t>(random())};
    const int chunks = int(random() % 8);
    for (int c = 0; c < chunks; ++c) {
        const uint8_t length = static_cast<uint8_t>(random() % 64);
        input.push_back(length);
        for (int i = 0; i < length; ++i) {
            input.push_back(random() % 4 == 0 ? uint8_t(random())
                                              : uint8_t(alphabet[random() % alphabet.size()]));
        }
    }
    return input;
}

TEST(AnswerRandomTest, EveryOutputGivesAValueOrADefinedError) {
    ScopedPrefix prefix;
    ConsoleCapture console;
    std::mt19937 random(20261207);
    int values = 0, errors = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::vector<uint8_t> input = RandomInput(random);
        const AnswerResult result = RunAnswerExchange(input.data(), input.size());
        ASSERT_NE(result.outcome, AnswerOutcome::UnknownError) << result.error;
        (result.outcome == AnswerOutcome::Value ? values : errors)++;
        console.text.clear();
    }
    EXPECT_GT(values, 0);
    EXPECT_GT(errors, 0);
}

TEST(AnswerRandomTest, WellFormedAnswerInAnyChunkingGivesTheValue) {
    ScopedPrefix prefix;
    ConsoleCapture console;
    const std::string answer = "80000000=01000041\r\nReady\r\n";
    for (size_t split = 1; split < answer.size(); ++split) {
        std::vector<uint8_t> input{0, uint8_t(split)};
        input.insert(input.end(), answer.begin(), answer.begin() + long(split));
        input.push_back(uint8_t(answer.size() - split));
        input.insert(input.end(), answer.begin() + long(split), answer.end());
        EXPECT_EQ(RunAnswerExchange(input.data(), input.size()).outcome, AnswerOutcome::Value) << split;
    }
}

}  // namespace
}  // namespace linktest
