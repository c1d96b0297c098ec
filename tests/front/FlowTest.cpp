// Whole runs of the tool against the simulated board pair.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/Clock.h"
#include "tests/support/BenchServers.h"
#include "tests/support/Ports.h"
#include "tests/support/ToolInProcess.h"
#include "tests/support/Transcript.h"

namespace {

using namespace testsupport;

const std::string kSourceImage = TOLVAR_SOURCE_DIR "/examples/source_fw.hex";
const std::string kSinkImage = TOLVAR_SOURCE_DIR "/examples/sink_fw.hex";

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class UartFlowTest : public CommandLineTest {
  protected:
    // Every run must have driven the board as a correct tool does.
    void TearDown() override {
        m_board.pair.EndSession();
        if (m_boardLeftMidway) return;
        EXPECT_TRUE(m_board.pair.AuditEntries().empty()) << m_board.pair.AuditReport();
    }

    std::vector<uint8_t>& Source() { return m_board.pair.Source().MemoryBytes(); }
    std::vector<uint8_t>& Sink() { return m_board.pair.Sink().MemoryBytes(); }
    // Memory bytes [from, to) all equal to value.
    static bool All(const std::vector<uint8_t>& memory, size_t from, size_t to, uint8_t value) {
        for (size_t i = from; i < to; ++i) {
            if (memory.at(i) != value) return false;
        }
        return true;
    }

    // An image of one word at address 0.
    std::string WordImage() {
        std::string image = m_prefix + "/word.hex";
        std::ofstream(image) << ":04000000DEADBEEFC4\n:00000001FF\n";
        return image;
    }

    platform::VirtualClock m_clock;
    platform::ScopedClock m_scopedClock{m_clock};
    UartOverPair m_board;
    // The link went away mid-transfer: the memory is left in the middle of a command.
    bool m_boardLeftMidway = false;
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

TEST_F(UartFlowTest, AutomaticSearchWithoutTheBoardSought) {
    struct Case {
        bool source, sink;
        std::vector<std::string> words;
        int code;
        std::string printed;
    };
    const Case cases[] = {
        {false,
         true,
         {"ua", "Q", "image.hex"},
         -1,
         "Found sink on port 4\nDetected Marnel sink on port 4\nMemory MACRONIX SPI serial flash.\n"
         "Unsupported option 'Q'\n" +
             kUsageText + kErrorPause},
        {false,
         false,
         {"ua", "Q", "image.hex"},
         -1,
         "Could not autodetect board connected to any uart port\n" + kErrorPause},
        {false,
         true,
         {"uasrc", "Q", "image.hex"},
         -1,
         "Could not autodetect source connected to any uart port\n" + kErrorPause},
        {true,
         false,
         {"ua", "Q", "fw_snk.hex"},
         -1,
         "Could not autodetect sink connected to any uart port\n" + kErrorPause},
    };
    for (const Case& c : cases) {
        m_board.sourcePresent = c.source;
        m_board.sinkPresent = c.sink;
        Outcome outcome = Run(c.words);
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.out, Echo(c.words) + c.printed);
    }
}

TEST_F(UartFlowTest, FillWritesThePatternMostSignificantByteFirst) {
    std::fill(Source().begin(), Source().begin() + 64, 0xff);
    std::vector<uint8_t> sinkBefore(Sink().begin(), Sink().begin() + 64);
    std::vector<std::string> words = {"src", "u3", "FF", "16", "0x5A"};
    Outcome outcome = Run(words);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.out.rfind(Echo(words) + "Detected Marnel source on port 3\n", 0), 0u);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(Source()[i], (i % 4 == 3) ? 0x5a : 0x00) << i;
    EXPECT_TRUE(All(Source(), 16, 64, 0xff));
    EXPECT_EQ(std::vector<uint8_t>(Sink().begin(), Sink().begin() + 64), sinkBefore);
}

TEST_F(UartFlowTest, ReadPrintsWholeWords) {
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0, 0xca, 0xfe, 0xba, 0xbe};
    std::copy(std::begin(bytes), std::end(bytes), Sink().begin() + 0x100);
    Outcome outcome = Run({"snk", "u4", "r", "0x100", "b1011"});
    EXPECT_EQ(outcome.code, 0);
    EXPECT_NE(outcome.out.find("12345678"), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.out.find("9abcdef0"), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.out.find("cafebabe"), std::string::npos) << outcome.out;
}

TEST_F(UartFlowTest, RangeErasesCoverTheWholeSectorsAndBlocksTouched) {
    struct Case {
        std::vector<std::string> words;
        size_t erasedFrom, erasedTo;
    };
    const Case cases[] = {
        {{"src", "u3", "ES", "0x1001", "14"}, 0x1000, 0x2000},
        {{"src", "u3", "EB", "0x20fff", "79999"}, 0x20000, 0x40000},
    };
    for (const Case& c : cases) {
        std::fill(Source().begin(), Source().begin() + 0x50000, 0x00);
        Outcome outcome = Run(c.words);
        EXPECT_EQ(outcome.code, 0) << outcome.out;
        EXPECT_TRUE(All(Source(), c.erasedFrom, c.erasedTo, 0xff)) << c.words[3];
        EXPECT_TRUE(All(Source(), 0, c.erasedFrom, 0x00)) << c.words[3];
        EXPECT_TRUE(All(Source(), c.erasedTo, 0x50000, 0x00)) << c.words[3];
    }
}

TEST_F(UartFlowTest, BadLettersStopBeforeAnyLetterActs) {
    struct Case {
        std::vector<std::string> words;
        std::string reason;
    };
    const Case cases[] = {
        {{"src", "u3", "EQ", "image.hex"}, "Unsupported option 'Q'\n"},
        {{"src", "u3", "e\xff", "image.hex"}, "Unsupported option '\xff'\n"},
        {{"src", "u3", "E ", "image.hex"}, "Unsupported option ' '\n"},
        {{"src", "u3", "s", "EF", "image.hex"}, "Fast burn is allowed only for Marnel eeproms.\n"},
    };
    for (const Case& c : cases) {
        Source()[0] = 0x00;
        Outcome outcome = Run(c.words);
        EXPECT_EQ(outcome.code, -1);
        EXPECT_TRUE(EndsWith(outcome.out, c.reason + kUsageText + kErrorPause)) << outcome.out;
        // E before the bad letter has not run except where the letter itself is good (s EF).
        EXPECT_EQ(Source()[0], c.words[2] == "s" ? 0xff : 0x00);
    }
}

TEST_F(UartFlowTest, PauseOnlyWhenAsked) {
    Outcome paused = Run({"src", "u3", "p", "image.hex"}, "x");
    EXPECT_EQ(paused.code, 0);
    EXPECT_TRUE(EndsWith(paused.out, "Memory MACRONIX SPI serial flash.\nPress any key to continue . . .\n"))
        << paused.out;
    Outcome plain = Run({"src", "u3", "", "image.hex"});
    EXPECT_EQ(plain.code, 0);
    EXPECT_EQ(plain.out.find("Press any key"), std::string::npos);
}

TEST_F(UartFlowTest, DebugLogsRegistersAtTheChipsAddresses) {
    std::string image = WordImage();
    struct Case {
        std::vector<std::string> words;
        std::string controlWrite;
    };
    const Case cases[] = {
        {{"src", "u3", "DNOB", image}, "\nw 80000050 "},
        {{"snk", "u4", "NOBd", image}, "\nw 80000044 "},
    };
    for (const Case& c : cases) {
        Outcome outcome = Run(c.words);
        EXPECT_EQ(outcome.code, 0);
        EXPECT_NE(outcome.out.find(c.controlWrite), std::string::npos) << outcome.out.substr(0, 2000);
        // Progress is off; only the closing 100% of the burn is shown.
        size_t progress = outcome.out.find("Progress:");
        EXPECT_EQ(outcome.out.substr(progress, 14), "Progress: 100%");
        EXPECT_EQ(outcome.out.find("Progress:", progress + 1), std::string::npos);
    }
    EXPECT_EQ(Source()[0], 0xde);
    EXPECT_EQ(Sink()[3], 0xef);
}

TEST_F(UartFlowTest, FastTransferAppliesToTheLettersAfterIt) {
    Outcome fast = Run({"src", "u3", "OFBV", WordImage()});
    EXPECT_EQ(fast.code, 0);
    size_t set = fast.out.find("Set fast burn\n");
    ASSERT_NE(set, std::string::npos);
    EXPECT_LT(set, fast.out.find("Progress:"));
    EXPECT_EQ(fast.out.find("Exception"), std::string::npos) << fast.out;

    Outcome late = Run({"src", "u3", "OBF", WordImage()});
    EXPECT_EQ(late.code, 0);
    set = late.out.find("Set fast burn\n");
    ASSERT_NE(set, std::string::npos);
    EXPECT_GT(set, late.out.rfind("Progress:"));
}

TEST_F(UartFlowTest, SearchedSinkIsBurnedAndVerifiedWithTheImageChecked) {
    std::vector<uint8_t> sourceBefore(Source().begin(), Source().begin() + 0x8000);
    std::vector<std::string> words = {"uasnk", "BV", kSinkImage};
    Outcome outcome = Run(words);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.out.rfind(Echo(words) + "Detected Marnel sink on port 4\n", 0), 0u) << outcome.out;
    EXPECT_EQ(outcome.out.find("Exception"), std::string::npos) << outcome.out;
    EXPECT_FALSE(All(Sink(), 0, 0x100, 0xff));
    EXPECT_EQ(std::vector<uint8_t>(Source().begin(), Source().begin() + 0x8000), sourceBefore);

    // A source image is refused for the sink before anything is written.
    std::fill(Sink().begin(), Sink().begin() + 0x8000, 0x00);
    Outcome refused = Run({"uasnk", "B", kSourceImage});
    EXPECT_EQ(refused.code, -1);
    EXPECT_TRUE(EndsWith(refused.out, kErrorPause));
    EXPECT_TRUE(All(Sink(), 0, 0x8000, 0x00));
}

TEST_F(UartFlowTest, LinkFailureDuringABurnIsReportedWithExitMinusOneAfterThePause) {
    std::string error;
    ASSERT_TRUE(m_board.pair.AddFault("gone,after=300", error)) << error;
    Outcome outcome = Run({"src", "u3", "OBP", kSourceImage}, "x");
    m_boardLeftMidway = true;
    EXPECT_EQ(outcome.code, -1);
    size_t exception = outcome.out.find("Exception: ");
    ASSERT_NE(exception, std::string::npos) << outcome.out.substr(0, 3000);
    EXPECT_TRUE(EndsWith(outcome.out, "Press any key to continue . . .\n"));
}

class BenchFlowTest : public CommandLineTest {
  protected:
    BenchOverPair m_bench{m_prefix};
};

TEST_F(BenchFlowTest, FastTransferNeedsTheUartLink) {
    for (const char* memory : {"dm", "s"}) {
        Outcome outcome = Run({"src", "d", memory, "F", "image.hex"});
        EXPECT_EQ(outcome.code, -1);
        EXPECT_TRUE(EndsWith(outcome.out, "Fast burn is allowed only directly above UART (no Norvik).\n" +
                                              kUsageText + kErrorPause))
            << outcome.out;
    }
}

TEST_F(BenchFlowTest, UnknownSideStopsAtIdentification) {
    Outcome outcome = Run({"d", "E", "image.hex"});
    EXPECT_EQ(outcome.code, -1);
    EXPECT_EQ(outcome.out.find("Detected"), std::string::npos);
}

}  // namespace
