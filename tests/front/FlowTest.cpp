// Whole runs of the tool against the simulated board pair.
#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "tests/front/BoardFixture.h"
#include "tests/front/Transcript.h"

namespace {

class UartFlowTest : public CommandLineTest {
  protected:
    platform::VirtualClock m_clock;
    platform::ScopedClock m_scopedClock{m_clock};
    UartOverPair m_board;
};

TEST_F(UartFlowTest, ExplicitPortWithAKnownSideNamesTheChipFound) {
    struct Case {
        std::vector<std::string> words;
        std::string detected;
    };
    const Case cases[] = {
        {{"src", "u3", "Q", "image.hex"}, "Detected Marnel source on port 3\n"},
        {{"u0x3", "Q", "fw_source.hex"}, "Detected Marnel source on port 3\n"},
        {{"ub100", "Q", "fw_SNK.hex"}, "Detected Marnel sink on port 4\n"},
        {{"u4", "Q", "image.hex"}, ""},
    };
    for (const Case& c : cases) {
        Outcome outcome = Run(c.words);
        std::string expected = Echo(c.words) + c.detected;
        EXPECT_EQ(outcome.out.substr(0, expected.size()), expected);
    }
}

TEST_F(UartFlowTest, AutomaticSearchFindsTheRequestedSide) {
    struct Case {
        std::vector<std::string> words;
        std::string found;
    };
    const Case cases[] = {
        {{"uasrc", "Q", "image.hex"}, "Detected Marnel source on port 3\n"},
        {{"uasnk", "Q", "image.hex"}, "Detected Marnel sink on port 4\n"},
        {{"UASNK", "Q", "image.hex"}, ""},
        {{"ua", "Q", "fw_sink.hex"}, "Detected Marnel sink on port 4\n"},
        {{"ua", "Q", "image.hex"}, "Found source on port 3\nDetected Marnel source on port 3\n"},
        {{"snk", "ua", "Q", "image.hex"}, "Detected Marnel sink on port 4\n"},
    };
    for (const Case& c : cases) {
        Outcome outcome = Run(c.words);
        std::string expected = Echo(c.words) + c.found;
        EXPECT_EQ(outcome.out.substr(0, expected.size()), expected) << c.words[0];
    }
}

}  // namespace
